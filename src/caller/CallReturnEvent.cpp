// Calls, returns and events of the caller: CallProcedure sends a call and waits
// for its return, SendReturn answers, SendEvent sends one way, BreakActiveCall
// ends a waiting call.
#include "talvex05u/caller/RP_Caller.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

namespace {
constexpr int kEventRecordWords = 512;
}  // namespace

bool CRP_Caller::CallProcedure(CSockAddr* destination, CUdpDataBlockEx* block, std::int32_t timeout) {
    if (destination == nullptr || block == nullptr) return false;
    if (destination->sin_port == 0) return true;
    std::int32_t reference = 0;
    {
        std::scoped_lock lock(m_sendLock);
        m_CallBlock = *block;
        m_ReturnBlock.Clear();
        talvex::ResetEvent(m_hReturnEvent);
        reference = TakeReferenceNumber();
        m_CallBlock.m_nReferenceNumber = reference;
        m_ReturnBlock.m_nReferenceNumber = reference;
        m_addrAwaitedPeer = *destination;
        m_CallBlock.GetPacketAt(0, m_PacketRecord, true);
        SendPacket(m_PacketRecord + 1, m_PacketRecord[0], *destination);
    }
    return WaitForOwnReturn(reference, block, timeout);
}

bool CRP_Caller::WaitForOwnReturn(std::int32_t reference, CUdpDataBlockEx* block, std::int32_t timeout) {
    // No window messages here: wait only on the return, the break and the time-out.
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
    const std::uint32_t start = talvex::GetTickCount();
    void* const events[2] = {m_hReturnEvent, m_hBreakEvent};
    for (;;) {
        std::uint32_t remaining = limit;
        if (limit != talvex::kInfinite) {
            const std::uint32_t elapsed = talvex::GetTickCount() - start;
            if (elapsed >= limit) return false;
            remaining = limit - elapsed;
        }
        if (talvex::WaitForEvents(events, 2, remaining) != talvex::kWaitObject0) return false;
        std::scoped_lock lock(m_sendLock);
        // Only a return completed for this call's own reference number is its answer;
        // a stop releases the call with what has arrived.
        if (m_nCompletedReference == reference || m_bReleasingCall.load()) {
            *block = m_ReturnBlock;
            return true;
        }
        // Woken by an event set late for an earlier call: this call's return, when it
        // completes, sets the event again after this reset.
        talvex::ResetEvent(m_hReturnEvent);
    }
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
