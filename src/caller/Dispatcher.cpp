// The caller's dispatch thread: waits on both UDP sockets and the wake-up event,
// receives every datagram and acts on it by its message type. Every hook runs here.
#include "talvex05u/caller/RP_Caller.h"

#include "DatagramSeam.h"
#include "caller/CounterCells.h"
#include "caller/DeferredDatagrams.h"
#include "caller/PendingCalls.h"
#include "caller/SocketSetup.h"
#include "caller/WaiterReads.h"
#include "datablock/PacketRecord.h"
#include "platform/EventObject.h"
#include "socket/PendingDatagram.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/platform/System.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kReceiveBytes = 2048;
constexpr int kReceiveWords = kReceiveBytes / 4;
constexpr int kHeaderBytes = 16;
constexpr int kRecordWords = 512;
constexpr std::uint32_t kRecoveryPauseMs = 10;
constexpr short kReadableOrFailed = POLLIN | POLLERR | POLLHUP | POLLNVAL;

// The datagram whose hook runs on this thread, so that the hook's SendReturn answers
// its sender whatever other threads have received meanwhile.
struct ServingDatagram {
    const CRP_Caller* caller = nullptr;
    CSockAddr sender;
};
thread_local ServingDatagram t_serving;

// Marks the datagram being served for the span of its handling (nested seams restore).
class ServingScope {
public:
    ServingScope(const CRP_Caller* caller, const CSockAddr& sender) : m_saved(t_serving) {
        t_serving.caller = caller;
        t_serving.sender = sender;
    }
    ~ServingScope() { t_serving = m_saved; }
    ServingScope(const ServingScope&) = delete;
    ServingScope& operator=(const ServingScope&) = delete;

private:
    ServingDatagram m_saved;
};

// Header word `index` of a datagram of `size` bytes; words the datagram does not
// hold read as 0.
std::int32_t HeaderWord(const std::int32_t* words, int size, int index) {
    return size >= 4 * (index + 1) ? words[index] : 0;
}

int PollDescriptorOf(void* event) {
    return event != nullptr ? talvex::detail::AsEventObject(event)->PollDescriptor() : -1;
}

// A short datagram leaves the rest of its header as zeros, not as an older datagram's bytes.
void ZeroMissingHeader(std::int32_t* words, int size) {
    if (size >= 0 && size < kHeaderBytes) std::memset(reinterpret_cast<char*>(words) + size, 0, kHeaderBytes - size);
}

// True when `taken` came in on `wanted`, the own address's interface (0: any).
bool ArrivedOn(int wanted, const talvex::PendingDatagram& taken) {
    return wanted == 0 || taken.arrivalInterface == wanted;
}

}  // namespace

std::int32_t CRP_Caller::DatagrammDispatcher() {
    alignas(std::int32_t) std::int32_t words[kReceiveWords];
    try {
        for (;;) {
            // While calls wait and read the socket themselves, the dispatcher leaves it alone.
            pollfd fds[4] = {{m_pWaiterReads->SocketToWatch(static_cast<int>(m_Socket.m_hSocket)), POLLIN, 0},
                             {static_cast<int>(m_hBroadcastSocket), POLLIN, 0},
                             {PollDescriptorOf(m_hWakeDispatcher), POLLIN, 0},
                             {PollDescriptorOf(m_pWaiterReads->AttentionEvent()), POLLIN, 0}};
            const int ready = ::poll(fds, 4, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                talvex::SetLastSocketErrorFromErrno();
                IsErrorOccured();
                break;
            }
            if (fds[2].revents != 0) break;   // StopDispatchThread woke us
            if (fds[3].revents != 0) m_pWaiterReads->ClearAttention();
            if ((fds[0].revents & kReadableOrFailed) != 0 && !ReceiveUnicast(words)) break;
            if ((fds[1].revents & kReadableOrFailed) != 0 && !ReceiveBroadcast(words)) break;
        }
    } catch (CBlockingSocketException* e) {
        LogBlockingSocketException("Dispatcher:", e);
        e->Delete();
    } catch (const std::exception& e) {
        // A hook threw something other than a socket exception: end like for one.
        talvex::EmitDiagnostic((std::string("Dispatcher: ") + e.what()).c_str());
    }
    return 0;
}

bool CRP_Caller::ReceiveUnicast(std::int32_t* words) {
    talvex::WSASetLastError(0);
    CSockAddr sender;
    const talvex::PendingDatagram taken =
        m_pWaiterReads->TakeForDispatcher(static_cast<int>(m_Socket.m_hSocket), words, sender);
    struct DoneHandling {
        talvex::WaiterReads& reads;
        ~DoneHandling() { reads.DoneHandling(); }
    } done{*m_pWaiterReads};
    if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived) {
        m_pCounters->DatagramIn(taken.size);
        ZeroMissingHeader(words, taken.size);
        HandleDatagram(words, taken.size, sender);
        HandleDeferred(words);
    }
    if (taken.outcome != talvex::PendingDatagram::Outcome::kFailed) return true;
    m_pCounters->Add(talvex::Counter::kSocketErrors);
    return RecoverUnicastSocket();
}

void CRP_Caller::HandleDeferred(std::int32_t* words) {
    CSockAddr sender;
    for (int size = m_pDeferred->TakeOldest(words, sender); size > 0; size = m_pDeferred->TakeOldest(words, sender)) {
        ZeroMissingHeader(words, size);
        HandleDatagram(words, size, sender);
    }
}

bool CRP_Caller::InHook() const { return t_serving.caller == this; }

CRP_Caller::HookRead CRP_Caller::ReadDuringHook(std::uint32_t milliseconds, AckTest isAck, void* context) {
    if (m_pSeamSink != nullptr || !InHook()) return HookRead::kNothing;
    if (m_pDeferred->Full()) return HookRead::kFull;
    const int fd = static_cast<int>(m_Socket.m_hSocket);
    pollfd readable{fd, POLLIN, 0};
    const int timeout = milliseconds > 0x7FFFFFFFu ? -1 : static_cast<int>(milliseconds);
    if (::poll(&readable, 1, timeout) != 1) return HookRead::kNothing;
    alignas(std::int32_t) std::int32_t words[kReceiveWords];
    CSockAddr sender;
    const talvex::PendingDatagram taken = m_pWaiterReads->TakeForDispatcher(fd, words, sender);
    // An empty datagram or a failed receive is dropped here: the socket itself is fine.
    if (taken.outcome != talvex::PendingDatagram::Outcome::kReceived) return HookRead::kNothing;
    m_pCounters->DatagramIn(taken.size);
    if (isAck(context, words, taken.size, sender)) return HookRead::kAck;
    m_pDeferred->Keep(words, taken.size, sender);
    return HookRead::kKept;
}

bool CRP_Caller::ReceiveBroadcast(std::int32_t* words) {
    talvex::WSASetLastError(0);
    CSockAddr sender;
    const talvex::PendingDatagram taken =
        talvex::TakePendingDatagram(static_cast<int>(m_hBroadcastSocket), words, kReceiveBytes, sender);
    if (taken.outcome == talvex::PendingDatagram::Outcome::kFailed) {
        m_pCounters->Add(talvex::Counter::kSocketErrors);
        return RecoverBroadcastSocket();
    }
    if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived) m_pCounters->DatagramIn(taken.size);
    if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived && ArrivedOn(m_nBroadcastInterface, taken)) {
        ZeroMissingHeader(words, taken.size);
        HandleDatagram(words, taken.size, sender);
        // A hook that read the unicast socket (a chunked answer's acknowledgements) left
        // datagrams to handle, and the dispatcher counted as handling since.
        HandleDeferred(words);
        m_pWaiterReads->DoneHandling();
    }
    return true;
}

bool CRP_Caller::RecoverUnicastSocket() {
    if (IsErrorOccured()) return false;
    // Nobody else may hold the descriptor when it closes, or the port stays taken and
    // the new socket could not have it.
    m_pWaiterReads->Withdraw();
    int replacement = -1;
    {
        std::unique_lock lock(m_socketLock);
        // Rebind to the port the socket had, so a system-chosen port stays the one the peer knows.
        CSockAddr bindTo = m_addrMy;
        sockaddr_in current{};
        socklen_t length = sizeof current;
        if (::getsockname(static_cast<int>(m_Socket.m_hSocket), reinterpret_cast<sockaddr*>(&current), &length) == 0 &&
            current.sin_port != 0) {
            bindTo.sin_port = current.sin_port;
        }
        m_Socket.Close();
        m_Socket.Create(talvex::kSockDgram);
        talvex::Sleep(kRecoveryPauseMs);
        m_Socket.Bind(bindTo);
        talvex::SetCallerBufferSizes(static_cast<int>(m_Socket.m_hSocket));
        replacement = static_cast<int>(m_Socket.m_hSocket);
    }
    m_pWaiterReads->Offer(replacement);
    talvex::WSASetLastError(0);
    m_pCounters->Add(talvex::Counter::kSocketRecoveries);
    return true;
}

bool CRP_Caller::RecoverBroadcastSocket() {
    if (IsErrorOccured()) return false;
    std::unique_lock lock(m_socketLock);
    ::close(static_cast<int>(m_hBroadcastSocket));
    m_hBroadcastSocket = talvex::kInvalidSocket;
    talvex::Sleep(kRecoveryPauseMs);
    OpenBroadcastSocket();
    m_pCounters->Add(talvex::Counter::kSocketRecoveries);
    return true;
}

void CRP_Caller::SendPacket(const std::int32_t* packet, int bytes, const CSockAddr& destination, int seconds) {
    if (m_pSeamSink != nullptr) {
        m_pSeamSink->OnSend(packet, bytes, destination);
    } else {
        try {
            std::shared_lock lock(m_socketLock);
            m_Socket.SendDatagram(reinterpret_cast<const char*>(packet), bytes, destination, seconds);
        } catch (CBlockingSocketException*) {
            m_pCounters->Add(talvex::Counter::kSocketErrors);
            throw;
        }
    }
    m_pCounters->DatagramOut(bytes);
}

CSockAddr CRP_Caller::ReplyDestination() const {
    return t_serving.caller == this ? t_serving.sender : m_addrLastSender;
}

void CRP_Caller::HandleDatagram(const std::int32_t* words, int size, const CSockAddr& sender) {
    if (words == nullptr || size < 4 || size > kReceiveBytes) return m_pCounters->Add(talvex::Counter::kMalformed);
    // A return records its sender where it is completed, under the same lock.
    if (words[0] != RP_RETURN) {
        std::scoped_lock lock(m_callLock);
        m_addrLastSender = sender;
    }
    const ServingScope serving(this, sender);
    const auto packetSize = static_cast<std::int16_t>(size);
    switch (words[0]) {
    case RP_CALL:
        // A call without a reference number is a one-way event (SendEvent gives none).
        m_pCounters->Add(words[2] == 0 ? talvex::Counter::kEventsReceived : talvex::Counter::kServed);
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        DoRemoteFunction(&m_WorkBlock);
        break;
    case RP_BROADCAST:
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        {
            std::scoped_lock lock(m_callLock);
            m_bBroadcastCall = true;
        }
        DoBroadCastFunction(&m_WorkBlock);
        break;
    case RP_MULTI_CALL:
        m_pCounters->Add(talvex::Counter::kChunksReceived);
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        DoRemoteFunctionMulti(&m_WorkBlock);
        break;
    case RP_MULTI_RETURN:
        m_pCounters->Add(talvex::Counter::kChunksReceived);
        HandleReturnChunk(words, size, sender);
        break;
    case RP_BROADCAST_RETURN:
        HandleBroadcastReturn(words, size, sender);
        break;
    case RP_PING:
        if (sender.sin_port != 0) {
            static constexpr std::int32_t kPingAnswer[4] = {RP_PING_ANSWER, 0, 0, 0};
            SendPacket(kPingAnswer, kHeaderBytes, sender);
        }
        break;
    case RP_PING_ANSWER:
        talvex::SetEvent(m_hPingAnswerEvent);
        break;
    case RP_RETURN:
        CompleteReturnPacket(words, size, sender, nullptr);
        break;
    case RP_NEXT_PACKET:
        HandleNextPacketRequest(words, size, sender);
        break;
    default:
        // Unknown types are ignored; the sender is still recorded.
        m_pCounters->Add(talvex::Counter::kMalformed);
        break;
    }
}

void CRP_Caller::HandleReturnChunk(const std::int32_t* words, int size, const CSockAddr& sender) {
    {
        // The call the chunk answers learns that its answer comes as chunks, and how many.
        std::scoped_lock lock(m_callLock);
        talvex::PendingCall* call = m_pCalls->Find(HeaderWord(words, size, 2), sender, false);
        if (call != nullptr) {
            if (call->returnChunksAnnounced == 0) call->returnChunksAnnounced = HeaderWord(words, size, 5);
            ++call->returnChunksArrived;
        }
    }
    m_WorkBlock.Clear();
    m_WorkBlock.AddRawData(words, static_cast<std::int16_t>(size));
    if (SendReturnMulti(&m_WorkBlock) && m_hMultiDoneEvent != nullptr) talvex::SetEvent(m_hMultiDoneEvent);
}

void CRP_Caller::HandleBroadcastReturn(const std::int32_t* words, int size, const CSockAddr& sender) {
    std::scoped_lock lock(m_callLock);
    const std::int32_t collecting = m_BCastReturn.m_nReferenceNumber;
    if (collecting == 0 || HeaderWord(words, size, 2) != collecting) return;
    m_WorkBlock.Clear();
    m_WorkBlock.AddRawData(words, static_cast<std::int16_t>(size));
    m_BCastReturn.Add(&m_WorkBlock, &sender);
    m_pCounters->Add(talvex::Counter::kBroadcastAnswers);
}

void CRP_Caller::CompleteReturnPacket(const std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker) {
    std::int32_t request[4];
    std::int32_t nextChunk[kRecordWords];
    CSockAddr nextChunkTo;
    bool complete = false;
    bool sendNextChunk = false;
    void* wake = nullptr;
    {
        std::scoped_lock lock(m_callLock);
        m_addrLastSender = sender;
        const std::int32_t reference = HeaderWord(words, size, 2);
        talvex::PendingCall* call = m_pCalls->Find(reference, sender);
        CUdpDataBlockEx* target = nullptr;
        if (call != nullptr) {
            target = &call->returnBlock;
            wake = call->waker;
        } else {
            // Late, repeated or a stranger's: no waiting call takes it. The empty returns
            // that acknowledge the chunks of the answer sent last are expected, not unmatched.
            const bool acknowledgesOwnAnswer = size == kHeaderBytes && reference == m_ReplyBlock.m_nReferenceNumber;
            if (!acknowledgesOwnAnswer) m_pCounters->Add(talvex::Counter::kUnmatchedReturns);
            // A return awaited in m_ReturnBlock itself (0: none awaited, or it is complete).
            const std::int32_t awaited = m_ReturnBlock.m_nReferenceNumber;
            if (awaited == 0 || reference != awaited || !talvex::AnswersCallTo(m_addrAwaitedPeer, sender)) return;
            target = &m_ReturnBlock;
        }
        target->AddRawData(words, static_cast<std::int16_t>(size));
        complete = target->m_nPacketPos == target->m_nLength;
        if (complete) {
            target->m_nReferenceNumber = 0;
            if (call != nullptr) call->complete = true;
            if (call != nullptr && call->window != nullptr) {
                bool wakeOwner = false;
                const talvex::PendingCall* next = call->window->OnTryAnswered(*call, nextChunk, wakeOwner);
                if (next != nullptr) {
                    sendNextChunk = true;
                    nextChunkTo = next->peer;
                }
                if (!wakeOwner) wake = nullptr;
            }
        } else {
            request[0] = RP_NEXT_PACKET;
            request[1] = target->m_nProcedure;
            request[2] = target->m_nReferenceNumber;
            request[3] = target->m_nPacketPos;
        }
    }
    if (!complete) {
        SendPacket(request, kHeaderBytes, sender);
        return;
    }
    if (sendNextChunk) SendNextChunk(nextChunk, nextChunkTo);
    talvex::SetEvent(m_hReturnEvent);
    if (m_hMultiDoneEvent != nullptr) talvex::SetEvent(m_hMultiDoneEvent);
    // After the lock is released: the woken call takes the lock at once. A return this
    // thread completes for its own call needs no wake-up.
    if (wake != nullptr && wake != ownWaker) talvex::SetEvent(wake);
}

void CRP_Caller::SendNextChunk(const std::int32_t* record, const CSockAddr& destination) {
    try {
        SendPacket(record + 1, record[0], destination);
    } catch (CBlockingSocketException* failure) {
        // The chunked call ends with the exception, on its own thread.
        void* wake = nullptr;
        {
            std::scoped_lock lock(m_callLock);
            talvex::PendingCall* call = m_pCalls->Find(record[3], destination, false);
            if (call != nullptr && call->sendFailure == nullptr) {
                call->sendFailure = failure;
                failure = nullptr;
                wake = call->waker;
            }
        }
        if (failure != nullptr) failure->Delete();
        if (wake != nullptr) talvex::SetEvent(wake);
    }
}

bool CRP_Caller::IsAwaitedReturn(void* caller, const std::int32_t* words, int size, const CSockAddr& sender) {
    if (size < kHeaderBytes || size > kReceiveBytes || words[0] != RP_RETURN) return false;
    auto* self = static_cast<CRP_Caller*>(caller);
    std::scoped_lock lock(self->m_callLock);
    return self->m_pCalls->Find(words[2], sender) != nullptr;
}

void CRP_Caller::HandleNextPacketRequest(const std::int32_t* words, int size, const CSockAddr& sender) {
    // Only the low 16 bits of word 3 carry the wanted start position.
    const std::int32_t reference = HeaderWord(words, size, 2);
    const auto start = static_cast<std::int16_t>(HeaderWord(words, size, 3) & 0xFFFF);
    std::int32_t fromCall[kRecordWords];
    std::int32_t fromReply[kRecordWords];
    bool sendCall = false;
    bool sendReply = false;
    {
        std::scoped_lock lock(m_callLock);
        // Served only to the caller each block went to: another caller that happens to
        // use the same reference number would otherwise take packets of an answer not its own.
        if (reference == m_CallBlock.m_nReferenceNumber && talvex::AnswersCallTo(m_addrAwaitedPeer, sender)) {
            m_CallBlock.GetPacketAt(start, m_PacketRecord, true);
            talvex::CopyPacketRecord(fromCall, m_PacketRecord);
            sendCall = true;
        }
        const bool replyPeer = m_addrReplyPeer.sin_port == 0 || (m_addrReplyPeer.sin_port == sender.sin_port &&
                                                                  m_addrReplyPeer.sin_addr.s_addr == sender.sin_addr.s_addr);
        if (reference == m_ReplyBlock.m_nReferenceNumber && replyPeer) {
            m_ReplyBlock.GetPacketAt(start, m_PacketRecord, true);
            talvex::CopyPacketRecord(fromReply, m_PacketRecord);
            sendReply = true;
        }
    }
    if (sendCall) SendPacket(fromCall + 1, fromCall[0], sender);
    if (sendReply) SendPacket(fromReply + 1, fromReply[0], sender);
}
