// Liveness ping: the ping thread sends the peer an RP_PING once a second and
// keeps m_bActive at whether the answer came within 300 ms.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "caller/WaiterReads.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Event.h"

namespace {
constexpr std::uint32_t kPingIntervalMs = 1000;
constexpr std::uint32_t kPingAnswerWaitMs = 300;
constexpr std::int32_t kPingPacket[4] = {RP_PING, 0, 0, 0};
}  // namespace

std::uint32_t CRP_Caller::PingThreadProc(void* caller) {
    auto* self = static_cast<CRP_Caller*>(caller);
    void* stop = self->GetStopPingEvent();
    while (talvex::WaitForEvent(stop, kPingIntervalMs) != talvex::kWaitObject0) self->Ping();
    return 0;
}

bool CRP_Caller::AwaitPingAnswer() {
    // The pinging thread reads the socket while it waits, so the answer is seen even
    // while the dispatch thread runs a long hook (and the peer's own pings are answered).
    const talvex::WakerLease waker(*m_pCalls, m_callLock);
    if (waker.Get() == nullptr) {
        return talvex::WaitForEvent(m_hPingAnswerEvent, kPingAnswerWaitMs) == talvex::kWaitObject0;
    }
    talvex::ReadingTurn turn(*m_pWaiterReads);
    const std::uint32_t start = talvex::GetTickCount();
    for (;;) {
        talvex::ResetEvent(waker.Get());
        if (talvex::IsEventSet(m_hPingAnswerEvent)) return true;
        const std::uint32_t waited = talvex::GetTickCount() - start;
        if (waited >= kPingAnswerWaitMs) return false;
        WaitForReturns(waker.Get(), kPingAnswerWaitMs - waited, turn, false, m_hPingAnswerEvent);
    }
}

void CRP_Caller::Ping() {
    CSockAddr destination;
    {
        std::scoped_lock lock(m_callLock);
        destination = m_addrRemote;
    }
    if (destination.sin_port == 0) return;
    try {
        SendPacket(kPingPacket, sizeof kPingPacket, destination);
        m_pCounters->Add(talvex::Counter::kPingsSent);
        if (AwaitPingAnswer()) {
            talvex::ResetEvent(m_hPingAnswerEvent);
            m_pCounters->Add(talvex::Counter::kPingsAnswered);
            m_bActive = true;
        } else {
            m_bActive = false;
        }
    } catch (CBlockingSocketException* e) {
        e->Delete();
        IsErrorOccured();
        m_bActive = false;
    }
}
