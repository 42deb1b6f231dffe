// Liveness ping: the ping thread sends the peer an RP_PING once a second and
// keeps m_bActive at whether the answer came within 300 ms.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/CounterCells.h"
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
        // No window messages here: wait only on the answer and the time-out.
        if (talvex::WaitForEvent(m_hPingAnswerEvent, kPingAnswerWaitMs) == talvex::kWaitObject0) {
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
