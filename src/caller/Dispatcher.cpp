// The caller's dispatch thread: waits on both UDP sockets and the wake-up event,
// receives every datagram and acts on it by its message type. Every hook runs here.
#include "talvex05u/caller/RP_Caller.h"

#include "DatagramSeam.h"
#include "caller/CounterCells.h"
#include "caller/AllowedPeers.h"
#include "caller/ChunkedAnswers.h"
#include "caller/PulledAnswers.h"
#include "caller/PendingCalls.h"
#include "caller/WaiterReads.h"
#include "socket/EndpointText.h"
#include "datablock/PacketRecord.h"
#include "platform/EventObject.h"
#include "platform/SpinningPoll.h"
#include "socket/DatagramBatch.h"
#include "socket/PendingDatagram.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/platform/System.h"

#include <arpa/inet.h>
#include <cerrno>
#include <string>
#include <cstring>
#include <exception>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kReceiveBytes = 2048;
constexpr int kReceiveWords = kReceiveBytes / 4;
constexpr int kHeaderBytes = 16;
constexpr int kRecordWords = 512;
constexpr short kReadableOrFailed = POLLIN | POLLERR | POLLHUP | POLLNVAL;
constexpr std::uint32_t kSendFailureReportMs = 1000;

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

// Calls, broadcasts and call chunks are served by hooks on the dispatch thread.
bool ServedByHook(const std::int32_t* words, int size) {
    return size >= 4 && (words[0] == RP_CALL || words[0] == RP_BROADCAST || words[0] == RP_MULTI_CALL);
}

// Full batches the dispatcher takes one after another before it polls again (and
// looks at its broadcast socket and a stop).
constexpr int kBatchesInARow = 8;

}  // namespace

std::int32_t CRP_Caller::DatagrammDispatcher() {
    alignas(std::int32_t) std::int32_t words[kReceiveWords];
    const auto batch = std::make_unique<talvex::DatagramBatch>();   // about 34 KB, once per dispatch thread
    try {
        for (;;) {
            // A stop marks itself before it sets the attention event, which this loop
            // may clear after looking: looked for again before every wait.
            if (talvex::IsEventSet(m_hWakeDispatcher)) break;
            // While other threads wait and read the socket, the dispatcher leaves it to
            // them and watches its inbox, where they put what a hook must serve.
            const talvex::WaiterReads::Watch watch = m_pWaiterReads->SocketToWatch(static_cast<int>(m_Socket.m_hSocket));
            // A caller that only serves (and has no broadcast port) waits in a blocking receive.
            if (watch.fd >= 0 && m_nBroadcastPort == 0 && m_pWaiterReads->QuietForBlocking()) {
                // A short spin first where it pays, each look a receive that does not wait.
                int count = 0;
                for (talvex::SocketSpin spin; count == 0 && spin.Again();) {
                    count = m_pWaiterReads->TakeBatchForDispatcher(watch.fd, *batch, &CRP_Caller::NoteForDispatcher,
                                                                   this);
                    if (count != 0) spin.Answered();
                }
                if (count == 0) {
                    count = m_pWaiterReads->TakeBatchBlocking(watch.fd, *batch, &CRP_Caller::NoteForDispatcher, this);
                }
                if (talvex::IsEventSet(m_hWakeDispatcher)) break;
                if (count > 0 && !HandleBatch(*batch)) break;
                if (count >= 0) continue;   // else the inbox or a reader wants the poll below
            }
            // The attention event also carries a stop (its own event where it could not be made).
            const int attentionFd = PollDescriptorOf(m_pWaiterReads->AttentionEvent());
            pollfd fds[3] = {{watch.fd, POLLIN, 0},
                             {static_cast<int>(m_hBroadcastSocket), POLLIN, 0},
                             {attentionFd >= 0 ? attentionFd : PollDescriptorOf(m_hWakeDispatcher), POLLIN, 0}};
            // Standing aside it only waits for its events and the next look: no spin.
            const int ready = watch.fd >= 0 ? talvex::SpinningPoll(fds, 3, watch.timeoutMs)
                                            : ::poll(fds, 3, watch.timeoutMs);
            if (talvex::IsEventSet(m_hWakeDispatcher)) break;   // StopDispatchThread called us
            if (ready == 0 && watch.timeoutMs >= 0) continue;   // time to look whether readers are still there
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                talvex::SetLastSocketErrorFromErrno();
                IsErrorOccured();
                break;
            }
            const bool attention = fds[2].revents != 0;
            if (attention) m_pWaiterReads->ClearAttention();
            const bool socketReady = fds[0].fd >= 0 && (fds[0].revents & kReadableOrFailed) != 0;
            if ((attention || socketReady) && !ReceiveUnicast(words, *batch, socketReady)) break;
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

bool CRP_Caller::ReceiveUnicast(std::int32_t* words, talvex::DatagramBatch& batch, bool socketReady) {
    // The inbox first: what readers put there came before anything still in the
    // socket. Then what the socket holds, a batch at a time while batches come back full
    // and no other thread reads it.
    int batches = 0;
    for (std::size_t round = 0; round <= talvex::WaiterReads::kInboxSlots + kBatchesInARow; ++round) {
        talvex::WSASetLastError(0);
        CSockAddr sender;
        const talvex::WaiterReads::Taken taken = m_pWaiterReads->TakeFromInbox(words, sender);
        if (taken.outcome == talvex::PendingDatagram::Outcome::kFailed) {
            if (!HandleFailedReceive(taken.error)) return false;
        } else if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived) {
            ZeroMissingHeader(words, taken.size);
            HandleDatagram(words, taken.size, sender);
        } else {
            if (!socketReady || batches == kBatchesInARow) return true;
            const int count = m_pWaiterReads->TakeBatchForDispatcher(static_cast<int>(m_Socket.m_hSocket), batch,
                                                                     &CRP_Caller::NoteForDispatcher, this);
            if (count == talvex::WaiterReads::kInboxFirst) continue;
            if (count == 0) return true;
            ++batches;
            if (!HandleBatch(batch)) return false;
            if (!batch.Full() || m_pWaiterReads->HasReaders()) return true;
        }
        if (talvex::IsEventSet(m_hWakeDispatcher)) return false;   // a stop ends the dispatcher between datagrams
    }
    return true;
}

bool CRP_Caller::HandleBatch(talvex::DatagramBatch& batch) {
    // What no hook serves (returns, acknowledgements, pings, pulls) is handled first,
    // so that a hook that takes its time holds back no return behind it in the batch;
    // what hooks serve follows in arrival order.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < batch.Count(); ++i) {
            talvex::DatagramBatch::Entry& entry = batch[i];
            if (entry.outcome == talvex::PendingDatagram::Outcome::kNone) continue;
            const bool forHook = entry.outcome == talvex::PendingDatagram::Outcome::kReceived && ServedByHook(entry.words, entry.size);
            if (forHook != (pass == 1)) continue;
            if (entry.outcome == talvex::PendingDatagram::Outcome::kFailed) {
                if (!HandleFailedReceive(entry.error)) return false;
                continue;
            }
            ZeroMissingHeader(entry.words, entry.size);
            HandleDatagram(entry.words, entry.size, entry.sender);
            if (forHook && talvex::IsEventSet(m_hWakeDispatcher)) return false;
        }
    }
    return true;
}

bool CRP_Caller::HandleFailedReceive(std::int32_t error) {
    talvex::WSASetLastError(error);
    m_pCounters->Add(talvex::Counter::kSocketErrors);
    return RecoverSocket();
}

bool CRP_Caller::ReceiveBroadcast(std::int32_t* words) {
    talvex::WSASetLastError(0);
    CSockAddr sender;
    const talvex::PendingDatagram taken =
        talvex::TakePendingDatagram(static_cast<int>(m_hBroadcastSocket), words, kReceiveBytes, sender);
    if (taken.outcome == talvex::PendingDatagram::Outcome::kFailed) {
        m_pCounters->Add(talvex::Counter::kSocketErrors);
        return RecoverSocket();
    }
    if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived) m_pCounters->DatagramIn(taken.size);
    if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived && ArrivedOn(m_nBroadcastInterface, taken) &&
        Admits(sender)) {
        ZeroMissingHeader(words, taken.size);
        HandleDatagram(words, taken.size, sender);
    }
    return true;
}

bool CRP_Caller::RecoverSocket() {
    if (IsErrorOccured()) return false;
    // A failed receive on Linux took the datagram or the error with it and leaves the
    // socket as usable as before: it is kept, bound where it was, so there is no moment
    // in which its port is free for another program to take.
    talvex::WSASetLastError(0);
    m_pCounters->Add(talvex::Counter::kSocketRecoveries);
    return true;
}

bool CRP_Caller::SendPacket(const std::int32_t* packet, int bytes, const CSockAddr& destination, int seconds) {
    if (m_pSeamSink != nullptr) {
        m_pSeamSink->OnSend(packet, bytes, destination);
        m_pCounters->DatagramOut(bytes);
        return true;
    }
    int sent = -1;
    try {
        std::shared_lock lock(m_socketLock);
        sent = m_Socket.SendDatagram(reinterpret_cast<const char*>(packet), bytes, destination, seconds);
    } catch (CBlockingSocketException*) {
        m_pCounters->Add(talvex::Counter::kSocketErrors);
        throw;
    }
    if (sent < 0) {
        ReportFailedSend(destination);
        return false;
    }
    m_pCounters->DatagramOut(bytes);
    return true;
}

void CRP_Caller::ReportFailedSend(const CSockAddr& destination) {
    m_pCounters->Add(talvex::Counter::kSocketErrors);
    const int error = talvex::WSAGetLastError();
    talvex::WSASetLastError(0);
    // One line a second at most: a route that is gone fails every send.
    const std::uint32_t now = talvex::GetTickCount();
    std::uint32_t last = m_nLastSendFailureReport.load();
    if (now - last < kSendFailureReportMs || !m_nLastSendFailureReport.compare_exchange_strong(last, now)) return;
    const std::string line = "Send failed to " + talvex::EndpointText(destination) + ": error " + std::to_string(error);
    talvex::EmitDiagnostic(line.c_str());
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
        {
            // A broadcast hook that did not answer leaves no flag behind for the next
            // ordinary answer, which would otherwise go out as a broadcast answer.
            std::scoped_lock lock(m_callLock);
            m_bBroadcastCall = false;
        }
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
        // An acknowledgement of a chunk of an answer this caller sends to that peer
        // is never the answer to a call of its own with the same number.
        if (!m_pChunkedAnswers->TakeAcknowledgement(words, size, sender)) CompleteReturnPacket(words, size, sender, nullptr);
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
    const std::int32_t reference = HeaderWord(words, size, 2);
    {
        // The call the chunk answers learns that its answer comes as chunks, and how many.
        std::scoped_lock lock(m_callLock);
        talvex::PendingCall* call = m_pCalls->Find(reference, sender, false);
        if (call != nullptr) {
            if (call->returnChunksAnnounced == 0) call->returnChunksAnnounced = HeaderWord(words, size, 5);
            ++call->returnChunksArrived;
        }
    }
    bool completed = false;
    {
        // Any thread that reads a return chunk puts it into the store, one at a time.
        std::scoped_lock lock(m_returnChunkReceiveLock);
        m_ReturnChunkWork.Clear();
        m_ReturnChunkWork.AddRawData(words, static_cast<std::int16_t>(size));
        completed = SendReturnMulti(&m_ReturnChunkWork);
    }
    if (completed && m_hMultiDoneEvent != nullptr) talvex::SetEvent(m_hMultiDoneEvent);
    ReturnChunkHandled(reference, sender);
}

void CRP_Caller::NoteReturnChunkInHand(const std::int32_t* words, int size, const CSockAddr& sender) {
    std::scoped_lock lock(m_callLock);
    talvex::PendingCall* call = m_pCalls->Find(HeaderWord(words, size, 2), sender, false);
    if (call != nullptr) ++call->returnChunksInHand;
}

int CRP_Caller::NoteForDispatcher(void* caller, const std::int32_t* words, int size, const CSockAddr& sender) {
    auto* self = static_cast<CRP_Caller*>(caller);
    if (!self->Admits(sender)) return talvex::WaiterReads::kDrop;
    if (size >= 12 && words[0] == RP_MULTI_RETURN) self->NoteReturnChunkInHand(words, size, sender);
    return talvex::WaiterReads::kHandleHere;
}

int CRP_Caller::RouteForReader(void* caller, const std::int32_t* words, int size, const CSockAddr& sender) {
    // Calls, broadcasts and call chunks are served by hooks on the dispatch thread.
    if (ServedByHook(words, size)) return static_cast<CRP_Caller*>(caller)->Admits(sender) ? talvex::WaiterReads::kForDispatcher
                                                                         : talvex::WaiterReads::kDrop;
    return NoteForDispatcher(caller, words, size, sender);
}

bool CRP_Caller::Admits(const CSockAddr& sender) {
    const talvex::AllowedPeers* allowed = m_pAllowedPeers.load(std::memory_order_acquire);
    if (allowed == nullptr || allowed->Allows(ntohl(sender.sin_addr.s_addr))) return true;
    m_pCounters->Add(talvex::Counter::kRefusedSources);
    return false;
}

bool CRP_Caller::AllowPeers(const char* networks) {
    std::optional<talvex::AllowedPeers> parsed = talvex::AllowedPeers::Parse(networks != nullptr ? networks : "");
    if (!parsed) return false;
    std::scoped_lock lock(m_callLock);
    if (parsed->Empty()) {
        m_pAllowedPeers.store(nullptr, std::memory_order_release);
        return true;
    }
    m_allowedLists.push_back(std::make_unique<talvex::AllowedPeers>(std::move(*parsed)));
    m_pAllowedPeers.store(m_allowedLists.back().get(), std::memory_order_release);
    return true;
}

void CRP_Caller::HandleReadDatagram(std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker) {
    ZeroMissingHeader(words, size);
    if (size >= 4 && words[0] == RP_RETURN) {
        if (!m_pChunkedAnswers->TakeAcknowledgement(words, size, sender, ownWaker)) {
            CompleteReturnPacket(words, size, sender, ownWaker);
        }
        return;
    }
    HandleDatagram(words, size, sender);
}

void CRP_Caller::HandleBroadcastReturn(const std::int32_t* words, int size, const CSockAddr& sender) {
    std::scoped_lock lock(m_callLock);
    const std::int32_t collecting = m_BCastReturn.m_nReferenceNumber;
    if (collecting == 0 || HeaderWord(words, size, 2) != collecting) return;
    m_BroadcastAnswerWork.Clear();
    m_BroadcastAnswerWork.AddRawData(words, static_cast<std::int16_t>(size));
    m_BCastReturn.Add(&m_BroadcastAnswerWork, &sender);
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
        } else {
            // Late, repeated or a stranger's: no waiting call takes it.
            m_pCounters->Add(talvex::Counter::kUnmatchedReturns);
            // A return awaited in m_ReturnBlock itself (0: none awaited, or it is complete).
            const std::int32_t awaited = m_ReturnBlock.m_nReferenceNumber;
            if (awaited == 0 || reference != awaited || !talvex::AnswersCallTo(m_addrAwaitedPeer, sender)) return;
            target = &m_ReturnBlock;
        }
        target->AddRawData(words, static_cast<std::int16_t>(size));
        complete = target->m_nPacketPos == target->m_nLength;
        if (complete) {
            target->m_nReferenceNumber = 0;
            if (call != nullptr) {
                call->complete = true;
                // A chunk of its answer still in another thread's hands settles it when stored.
                if (call->returnChunksInHand == 0) wake = SettleCall(*call, nextChunk, nextChunkTo, sendNextChunk);
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

void* CRP_Caller::SettleCall(talvex::PendingCall& call, std::int32_t* nextChunk, CSockAddr& nextChunkTo,
                             bool& sendNextChunk) {
    void* wake = call.waker;
    if (call.window != nullptr) {
        bool wakeOwner = false;
        const talvex::PendingCall* next = call.window->OnTryAnswered(call, nextChunk, wakeOwner);
        if (next != nullptr) {
            sendNextChunk = true;
            nextChunkTo = next->peer;
        }
        if (!wakeOwner) wake = nullptr;
    }
    return wake;
}

void CRP_Caller::ReturnChunkHandled(std::int32_t reference, const CSockAddr& sender) {
    std::int32_t nextChunk[kRecordWords];
    CSockAddr nextChunkTo;
    bool sendNextChunk = false;
    void* wake = nullptr;
    {
        std::scoped_lock lock(m_callLock);
        talvex::PendingCall* call = m_pCalls->Find(reference, sender, false);
        if (call == nullptr || call->returnChunksInHand == 0) return;
        if (--call->returnChunksInHand > 0 || !call->complete) return;
        wake = SettleCall(*call, nextChunk, nextChunkTo, sendNextChunk);
    }
    if (sendNextChunk) SendNextChunk(nextChunk, nextChunkTo);
    if (wake != nullptr) talvex::SetEvent(wake);
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
        // The last return sent is pulled by the caller it went to; earlier ones that
        // their callers had not pulled whole when it replaced them, from where they are kept.
        const bool replyPeer = m_addrReplyPeer.sin_port == 0 || (m_addrReplyPeer.sin_port == sender.sin_port &&
                                                                  m_addrReplyPeer.sin_addr.s_addr == sender.sin_addr.s_addr);
        CUdpDataBlockEx* reply = reference == m_ReplyBlock.m_nReferenceNumber && replyPeer
                                     ? &m_ReplyBlock
                                     : m_pPulledAnswers->Find(sender, reference);
        if (reply != nullptr) {
            reply->GetPacketAt(start, m_PacketRecord, true);
            talvex::CopyPacketRecord(fromReply, m_PacketRecord);
            sendReply = true;
        }
    }
    if (sendCall) SendPacket(fromCall + 1, fromCall[0], sender);
    if (sendReply) SendPacket(fromReply + 1, fromReply[0], sender);
}
