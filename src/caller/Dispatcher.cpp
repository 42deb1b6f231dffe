// The caller's dispatch thread: waits on both UDP sockets and the wake-up event,
// receives every datagram and acts on it by its message type.
#include "talvex05u/caller/RP_Caller.h"

#include "DatagramSeam.h"
#include "caller/AwaitedReturns.h"
#include "caller/SharedReceive.h"
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
constexpr int kSendTimeoutSeconds = 120;
constexpr std::uint32_t kRecoveryPauseMs = 10;
constexpr short kReadableOrFailed = POLLIN | POLLERR | POLLHUP | POLLNVAL;

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
            // While a call waits and reads the socket itself, the dispatcher leaves it alone.
            pollfd fds[4] = {{m_pSharedReceive->SocketToWatch(static_cast<int>(m_Socket.m_hSocket)), POLLIN, 0},
                             {static_cast<int>(m_hBroadcastSocket), POLLIN, 0},
                             {PollDescriptorOf(m_hWakeDispatcher), POLLIN, 0},
                             {PollDescriptorOf(m_pSharedReceive->AttentionEvent()), POLLIN, 0}};
            const int ready = ::poll(fds, 4, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) {
                talvex::SetLastSocketErrorFromErrno();
                IsErrorOccured();
                break;
            }
            if (fds[2].revents != 0) break;   // StopDispatchThread woke us

            const bool socketReadable = (fds[0].revents & kReadableOrFailed) != 0;
            if (socketReadable || fds[3].revents != 0) {
                talvex::WSASetLastError(0);
                CSockAddr sender;
                // Datagrams a waiting call read and left come first: they arrived earlier.
                const talvex::PendingDatagram taken = m_pSharedReceive->TakeForDispatcher(
                    static_cast<int>(m_Socket.m_hSocket), socketReadable, words, sender);
                if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived) {
                    ZeroMissingHeader(words, taken.size);
                    HandleDatagram(words, taken.size, sender);
                }
                m_pSharedReceive->DoneHandling();
                if (taken.outcome == talvex::PendingDatagram::Outcome::kFailed && !RecoverUnicastSocket()) break;
            }
            if ((fds[1].revents & kReadableOrFailed) != 0) {
                talvex::WSASetLastError(0);
                CSockAddr sender;
                const talvex::PendingDatagram taken = talvex::TakePendingDatagram(
                    static_cast<int>(m_hBroadcastSocket), words, kReceiveBytes, sender);
                if (taken.outcome == talvex::PendingDatagram::Outcome::kFailed) {
                    if (!RecoverBroadcastSocket()) break;
                } else if (taken.outcome == talvex::PendingDatagram::Outcome::kReceived &&
                           ArrivedOn(m_nBroadcastInterface, taken)) {
                    ZeroMissingHeader(words, taken.size);
                    HandleDatagram(words, taken.size, sender);
                }
            }
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

bool CRP_Caller::RecoverUnicastSocket() {
    if (IsErrorOccured()) return false;
    // Waiting calls stop reading the socket until its replacement is bound.
    m_pSharedReceive->Detach();
    std::unique_lock lock(m_sendLock);
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
    int size = 524288;
    ::setsockopt(static_cast<int>(m_Socket.m_hSocket), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(static_cast<int>(m_Socket.m_hSocket), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const int replacement = static_cast<int>(m_Socket.m_hSocket);
    lock.unlock();
    m_pSharedReceive->Attach(replacement);
    talvex::WSASetLastError(0);
    return true;
}

bool CRP_Caller::RecoverBroadcastSocket() {
    if (IsErrorOccured()) return false;
    std::scoped_lock lock(m_sendLock);
    ::close(static_cast<int>(m_hBroadcastSocket));
    m_hBroadcastSocket = talvex::kInvalidSocket;
    talvex::Sleep(kRecoveryPauseMs);
    OpenBroadcastSocket();
    return true;
}

void CRP_Caller::SendPacket(const std::int32_t* packet, int bytes, const CSockAddr& destination) {
    if (m_pSeamSink != nullptr) {
        m_pSeamSink->OnSend(packet, bytes, destination);
        return;
    }
    std::scoped_lock lock(m_sendLock);
    m_Socket.SendDatagram(reinterpret_cast<const char*>(packet), bytes, destination, kSendTimeoutSeconds);
}

void CRP_Caller::HandleDatagram(const std::int32_t* words, int size, const CSockAddr& sender) {
    if (words == nullptr || size < 4 || size > kReceiveBytes) return;
    {
        std::scoped_lock lock(m_sendLock);
        m_addrLastSender = sender;
    }
    const auto packetSize = static_cast<std::int16_t>(size);
    switch (words[0]) {
    case RP_CALL:
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        DoRemoteFunction(&m_WorkBlock);
        break;
    case RP_BROADCAST:
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        {
            std::scoped_lock lock(m_sendLock);
            m_bBroadcastCall = true;
        }
        DoBroadCastFunction(&m_WorkBlock);
        break;
    case RP_MULTI_CALL:
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        DoRemoteFunctionMulti(&m_WorkBlock);
        break;
    case RP_MULTI_RETURN:
        m_WorkBlock.Clear();
        m_WorkBlock.AddRawData(words, packetSize);
        if (SendReturnMulti(&m_WorkBlock) && m_hMultiDoneEvent != nullptr) talvex::SetEvent(m_hMultiDoneEvent);
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
        HandleReturnPacket(words, size, sender);
        break;
    case RP_NEXT_PACKET:
        HandleNextPacketRequest(words, size, sender);
        break;
    default:
        break;   // unknown types are ignored; the sender is still recorded
    }
}

void CRP_Caller::HandleBroadcastReturn(const std::int32_t* words, int size, const CSockAddr& sender) {
    std::scoped_lock lock(m_sendLock);
    const std::int32_t collecting = m_BCastReturn.m_nReferenceNumber;
    if (collecting == 0 || HeaderWord(words, size, 2) != collecting) return;
    m_WorkBlock.Clear();
    m_WorkBlock.AddRawData(words, static_cast<std::int16_t>(size));
    m_BCastReturn.Add(&m_WorkBlock, &sender);
}

void CRP_Caller::HandleReturnPacket(const std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker) {
    std::int32_t request[4];
    bool complete = false;
    void* wake = nullptr;
    {
        std::scoped_lock lock(m_sendLock);
        const std::int32_t reference = HeaderWord(words, size, 2);
        talvex::AwaitedReturn* entry = m_pAwaitedReturns->Find(reference, sender);
        CUdpDataBlockEx* target = nullptr;
        if (entry != nullptr) {
            target = &entry->block;
            wake = entry->wake;
        } else {
            // A return awaited without a call (0: none awaited, or the last one is complete).
            const std::int32_t awaited = m_ReturnBlock.m_nReferenceNumber;
            if (awaited == 0 || reference != awaited || !talvex::AnswersCallTo(m_addrAwaitedPeer, sender)) return;
            target = &m_ReturnBlock;
            wake = m_hReturnEvent;
        }
        target->AddRawData(words, static_cast<std::int16_t>(size));
        complete = target->m_nPacketPos == target->m_nLength;
        if (complete) {
            target->m_nReferenceNumber = 0;
            if (entry != nullptr) {
                entry->complete = true;
                // A listener (a chunked call) may act on the answer here and need no wake-up.
                if (entry->listener != nullptr && !entry->listener->OnReturnComplete(*entry)) wake = nullptr;
            } else {
                m_nCompletedReference = reference;
            }
        } else {
            request[0] = RP_NEXT_PACKET;
            request[1] = target->m_nProcedure;
            request[2] = target->m_nReferenceNumber;
            request[3] = target->m_nPacketPos;
        }
    }
    if (complete) {
        // Every completed return sets the caller's return event; the call that waits for
        // it is woken through its own event.
        if (wake != m_hReturnEvent) talvex::SetEvent(m_hReturnEvent);
        // Signalled after the lock is released: the woken waiter takes the lock at once
        // to copy the return, and must not find it still held.
        if (wake != nullptr && wake != ownWaker) talvex::SetEvent(wake);
        if (m_hMultiDoneEvent != nullptr) talvex::SetEvent(m_hMultiDoneEvent);
        return;
    }
    SendPacket(request, kHeaderBytes, sender);
}

bool CRP_Caller::TakeAwaitedReturn(void* reader, const std::int32_t* words, int size, const CSockAddr& sender) {
    const auto& waiting = *static_cast<const talvex::ReturnReader*>(reader);
    CRP_Caller* caller = waiting.caller;
    if (size < kHeaderBytes || size > kReceiveBytes || words[0] != RP_RETURN) return false;
    {
        std::scoped_lock lock(caller->m_sendLock);
        // A chunked call's listener runs only on the dispatch thread, like every hook.
        const talvex::AwaitedReturn* entry = caller->m_pAwaitedReturns->Find(HeaderWord(words, size, 2), sender);
        if (entry == nullptr || entry->listener != nullptr) return false;
        // Nothing read before this datagram is unhandled, and the dispatcher takes
        // nothing new while the waiter holds the read lock: no hook runs now that
        // could still answer the sender recorded here.
        caller->m_addrLastSender = sender;
    }
    caller->HandleReturnPacket(words, size, sender, waiting.waker);
    return true;
}

void CRP_Caller::HandleNextPacketRequest(const std::int32_t* words, int size, const CSockAddr& sender) {
    // Only the low 16 bits of word 3 carry the wanted start position.
    const std::int32_t reference = HeaderWord(words, size, 2);
    const auto start = static_cast<std::int16_t>(HeaderWord(words, size, 3) & 0xFFFF);
    std::scoped_lock lock(m_sendLock);
    // Served only to the caller each block went to: another caller that happens to use
    // the same reference number would otherwise take packets of an answer not its own.
    if (reference == m_CallBlock.m_nReferenceNumber && talvex::AnswersCallTo(m_addrAwaitedPeer, sender)) {
        m_CallBlock.GetPacketAt(start, m_PacketRecord, true);
        SendPacket(m_PacketRecord + 1, m_PacketRecord[0], sender);
    }
    const bool replyPeer = m_addrReplyPeer.sin_port == 0 || (m_addrReplyPeer.sin_port == sender.sin_port &&
                                                              m_addrReplyPeer.sin_addr.s_addr == sender.sin_addr.s_addr);
    if (reference == m_ReplyBlock.m_nReferenceNumber && replyPeer) {
        m_ReplyBlock.GetPacketAt(start, m_PacketRecord, true);
        SendPacket(m_PacketRecord + 1, m_PacketRecord[0], sender);
    }
}
