// Broadcast call: sends one call to every caller listening on a broadcast port,
// sleeps for the waiting time and hands back the answers the dispatcher collected.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "caller/WaiterReads.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace {
constexpr int kBroadcastRecordWords = 512;
}  // namespace

void CRP_Caller::CollectAnswers(std::uint32_t milliseconds) {
    // The broadcasting thread reads the unicast socket while it waits, where the answers
    // come, so that a long hook on the dispatch thread does not keep them out.
    const talvex::WakerLease waker(*m_pCalls, m_callLock);
    talvex::ReadingTurn turn(*m_pWaiterReads);
    const std::uint32_t start = talvex::GetTickCount();
    for (std::uint32_t waited = 0; waited < milliseconds; waited = talvex::GetTickCount() - start) {
        if (waker.Get() == nullptr) {
            talvex::Sleep(milliseconds - waited);
            break;
        }
        talvex::ResetEvent(waker.Get());   // set when a place to poll is handed to this thread
        WaitForReturns(waker.Get(), milliseconds - waited, turn, false);
    }
}

CBCastReturnBlock* CRP_Caller::BroadcastCall(unsigned short port, CUdpDataBlockEx* block, std::int32_t waitMilliseconds) {
    if (port == 0 || block == nullptr) return nullptr;
    block->m_nType = RP_BROADCAST;
    const std::int32_t reference = TakeReferenceNumber();
    {
        std::scoped_lock lock(m_callLock);
        m_BCastReturn.Clear();
        m_BCastReturn.m_nReferenceNumber = reference;
    }
    block->m_nReferenceNumber = reference;

    const CSockAddr destination(INADDR_BROADCAST, port);
    std::int32_t record[kBroadcastRecordWords];
    block->GetPacketAt(0, record, true);
    {
        std::shared_lock lock(m_socketLock);
        if (m_hBroadcastSocket != talvex::kInvalidSocket) {
            const ssize_t sent = ::sendto(static_cast<int>(m_hBroadcastSocket), record + 1,
                                          static_cast<size_t>(record[0]), 0,
                                          static_cast<const sockaddr*>(destination), sizeof(sockaddr_in));
            if (sent >= 0) {
                m_pCounters->DatagramOut(record[0]);
            } else {
                m_pCounters->Add(talvex::Counter::kSocketErrors);
            }
        }
        m_pCounters->Add(talvex::Counter::kBroadcasts);
    }
    CollectAnswers(static_cast<std::uint32_t>(waitMilliseconds));
    std::scoped_lock lock(m_callLock);
    m_BCastReturn.m_nReferenceNumber = 0;
    return &m_BCastReturn;
}
