// Calls, returns and events of the caller: CallProcedure sends a call and waits
// for its own return (every call in flight has its entry in the awaited returns), SendReturn answers, SendEvent sends one way, BreakActiveCall
// ends a waiting call.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/AwaitedReturns.h"
#include "caller/SharedReceive.h"
#include "platform/EventWait.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

namespace {

constexpr int kEventRecordWords = 512;

// A waiting call's share of the caller's socket: counted as a reader from the first
// look until the wait ends, the socket is no longer to be read (replaced, or the
// dispatcher is behind) or a datagram came that is not an awaited return; then the
// dispatcher takes it back.
class SocketReading {
public:
    explicit SocketReading(talvex::SharedReceive& shared) : m_shared(shared) { m_shared.WaiterEnter(); }
    ~SocketReading() { Stop(); }
    SocketReading(const SocketReading&) = delete;
    SocketReading& operator=(const SocketReading&) = delete;

    talvex::SharedReceive::WaiterView View() {
        if (!m_reading) return {};
        const talvex::SharedReceive::WaiterView view = m_shared.ForWaiter();
        if (view.fd < 0) Stop();
        return view;
    }
    talvex::SharedReceive::WaiterRead Read(const talvex::SharedReceive::WaiterView& view,
                                           talvex::SharedReceive::TakeOnWaiter take, void* context) {
        const auto read = m_shared.ReadOnWaiter(view, take, context);
        // Once other traffic comes (calls of a peer, chunks), every datagram read here
        // would cost the dispatcher a wake-up more: the dispatcher takes the socket back.
        using Outcome = talvex::SharedReceive::WaiterRead;
        if (read == Outcome::kStop || read == Outcome::kHandedOff) Stop();
        return read;
    }

    // The dispatcher takes the socket back.
    void Stop() {
        if (!m_reading) return;
        m_reading = false;
        m_shared.WaiterLeave();
    }

private:
    talvex::SharedReceive& m_shared;
    bool m_reading = true;
};

}  // namespace

bool CRP_Caller::CallProcedure(CSockAddr* destination, CUdpDataBlockEx* block, std::int32_t timeout) {
    if (destination == nullptr || block == nullptr) return false;
    if (destination->sin_port == 0) return true;
    std::int32_t reference = 0;
    return CallAndWait(*destination, block, timeout, reference);
}

bool CRP_Caller::CallAndWait(const CSockAddr& destination, CUdpDataBlockEx* block, std::int32_t timeout,
                             std::int32_t& reference) {
    talvex::AwaitedReturn* entry = nullptr;
    void* waker = nullptr;
    {
        std::scoped_lock lock(m_sendLock);
        waker = m_pAwaitedReturns->TakeWaker();
        if (waker == nullptr) return false;
        // Kept as the last call made: the peer pulls the further packets of a long call from it.
        m_CallBlock = *block;
        m_addrAwaitedPeer = destination;
        // The return slot of the call before is given up: a late return of it is no
        // longer taken, and the return event starts clear.
        m_ReturnBlock.Clear();
        talvex::ResetEvent(m_hReturnEvent);
        entry = SendCall(destination, m_CallBlock, waker);
        reference = m_CallBlock.m_nReferenceNumber;
    }
    return WaitForOwnReturn(entry, waker, block, timeout);
}

talvex::AwaitedReturn* CRP_Caller::SendCall(const CSockAddr& destination, CUdpDataBlockEx& block, void* waker) {
    std::scoped_lock lock(m_sendLock);
    const std::int32_t reference = TakeReferenceNumber();
    block.m_nReferenceNumber = reference;
    talvex::AwaitedReturn* entry = m_pAwaitedReturns->Open(reference, destination, waker);
    block.GetPacketAt(0, m_PacketRecord, true);
    try {
        SendPacket(m_PacketRecord + 1, m_PacketRecord[0], destination);
    } catch (...) {
        talvex::AwaitedReturnTable::Close(entry);
        m_pAwaitedReturns->ReleaseWaker(waker);
        throw;
    }
    return entry;
}

bool CRP_Caller::WaitForOwnReturn(talvex::AwaitedReturn* entry, void* waker, CUdpDataBlockEx* block,
                                  std::int32_t timeout) {
    // No window messages here: wait only on the return, the break, the time-out and
    // the caller's socket, where the return is taken on the spot when it comes.
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
    const std::uint32_t start = talvex::GetTickCount();
    void* const events[2] = {waker, m_hBreakEvent};
    bool answered = false;
    SocketReading reading(*m_pSharedReceive);
    talvex::ReturnReader reader{this, waker};
    for (;;) {
        std::uint32_t remaining = limit;
        if (limit != talvex::kInfinite) {
            const std::uint32_t elapsed = talvex::GetTickCount() - start;
            if (elapsed >= limit) break;
            remaining = limit - elapsed;
        }
        const talvex::SharedReceive::WaiterView socket = reading.View();
        const std::uint32_t woken = talvex::WaitForEventsOrReadable(events, 2, socket.fd, remaining);
        if (woken == talvex::kWaitObject0 + 2) {
            // A return this thread completes for its own entry does not set the waker.
            if (reading.Read(socket, &CRP_Caller::TakeAwaitedReturn, &reader) !=
                talvex::SharedReceive::WaiterRead::kTaken) {
                continue;
            }
        } else if (woken != talvex::kWaitObject0) {
            break;
        }
        std::scoped_lock lock(m_sendLock);
        // The waker is set only for this entry (or by a stop), so this normally ends
        // the wait at once; the check keeps the rule whatever woke it.
        if (entry->complete || m_bReleasingCall.load()) {
            *block = entry->block;
            m_ReturnBlock = entry->block;
            answered = true;
            break;
        }
        talvex::ResetEvent(waker);
    }
    reading.Stop();
    std::scoped_lock lock(m_sendLock);
    if (!answered && !entry->complete) {
        // A call that gave up leaves its return slot to the caller's own return block,
        // as a single-call caller does: a late return is still taken into m_ReturnBlock
        // and sets the return event, until the next call starts. No call takes it.
        m_ReturnBlock = entry->block;
        m_ReturnBlock.m_nReferenceNumber = entry->reference;
        m_addrAwaitedPeer = entry->peer;
    }
    talvex::AwaitedReturnTable::Close(entry);
    m_pAwaitedReturns->ReleaseWaker(waker);
    return answered;
}

bool CRP_Caller::CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    CSockAddr destination;
    {
        std::scoped_lock lock(m_sendLock);
        destination = m_addrRemote;
    }
    return CallProcedure(&destination, block, timeout);
}

std::int32_t CRP_Caller::SendReturn(CUdpDataBlockEx* block) {
    if (block == nullptr) return 0;
    std::scoped_lock lock(m_sendLock);
    block->m_nType = m_bBroadcastCall ? RP_BROADCAST_RETURN : RP_RETURN;
    m_ReplyBlock = *block;
    m_ReplyBlock.GetPacketAt(0, m_PacketRecord, true);
    const CSockAddr destination = m_addrLastSender;
    m_addrReplyPeer = destination;
    SendPacket(m_PacketRecord + 1, m_PacketRecord[0], destination);
    m_bBroadcastCall = false;
    return 0;
}

void CRP_Caller::SendEvent(CUdpDataBlockEx* block) {
    if (block == nullptr) return;
    std::int32_t record[kEventRecordWords];
    CSockAddr destination;
    {
        std::scoped_lock lock(m_sendLock);
        destination = m_addrRemote;
    }
    if (destination.sin_port == 0) return;
    block->GetPacketAt(0, record, true);
    SendPacket(record + 1, record[0], destination);
}

void CRP_Caller::BreakActiveCall() { talvex::SetEvent(m_hBreakEvent); }
