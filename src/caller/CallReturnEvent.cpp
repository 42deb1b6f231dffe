// Calls, returns and events of the caller: CallProcedure sends a call and waits
// for its return, SendReturn answers, SendEvent sends one way, BreakActiveCall
// ends a waiting call.
#include "talvex05u/caller/RP_Caller.h"

#include "talvex05u/platform/Event.h"

namespace {
constexpr int kEventRecordWords = 512;
}  // namespace

bool CRP_Caller::CallProcedure(CSockAddr* destination, CUdpDataBlockEx* block, std::int32_t timeout) {
    if (destination == nullptr || block == nullptr) return false;
    if (destination->sin_port == 0) return true;
    {
        std::scoped_lock lock(m_sendLock);
        m_CallBlock = *block;
        m_ReturnBlock.Clear();
        talvex::ResetEvent(m_hReturnEvent);
        const std::int32_t reference = TakeReferenceNumber();
        m_CallBlock.m_nReferenceNumber = reference;
        m_ReturnBlock.m_nReferenceNumber = reference;
        m_CallBlock.GetPacketAt(0, m_PacketRecord, true);
        SendPacket(m_PacketRecord + 1, m_PacketRecord[0], *destination);
    }
    // No window messages here: wait only on the return, the break and the time-out.
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
    void* const events[2] = {m_hReturnEvent, m_hBreakEvent};
    if (talvex::WaitForEvents(events, 2, limit) != talvex::kWaitObject0) return false;
    std::scoped_lock lock(m_sendLock);
    *block = m_ReturnBlock;
    return true;
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
