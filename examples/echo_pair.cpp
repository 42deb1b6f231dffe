// echo_pair: an application class that serves a procedure, and a second caller
// that calls it, in one process on loopback.
#include <Talvex05u.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr std::int32_t kScale = 10;   // procedure: multiply every 32-bit value by a factor

// The serving side: derive from CRP_CallerEx and answer calls in DoRemoteFunction.
class Scaler : public CRP_CallerEx {
public:
    void DoRemoteFunction(CUdpDataBlockEx* call) override {
        if (call->m_nProcedure != kScale) return;          // other procedures get no answer
        std::int32_t factor = call->GetLongData();
        std::int32_t count = call->GetLongData();
        std::vector<std::int32_t> values;
        for (std::int32_t i = 0; i < count; ++i) values.push_back(call->GetLongData());

        call->ResetForReturn();                            // keeps procedure and reference number
        for (std::int32_t value : values) call->AppendLongData(value * factor);
        SendReturn(call);                                  // long answers leave as chunks
    }
};

}  // namespace

int main() {
    // Callers are large (about 40 MB each): keep them on the heap.
    auto server = std::make_unique<Scaler>();
    auto client = std::make_unique<CRP_CallerEx>();

    // Remote port 0: no fixed peer; both bind a port the system chooses on loopback.
    if (!server->StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0) ||
        !client->StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0)) {
        std::fprintf(stderr, "echo_pair: could not start the callers\n");
        return 1;
    }
    unsigned short serverPort = server->GetMyUDPPort();
    const std::uint32_t loopback = 0x7F000001;             // 127.0.0.1, host order
    client->SetRemoteSocket(serverPort, loopback);         // where calls go
    client->SetMultiTarget(serverPort, loopback);          // where chunks of long calls go

    const std::int32_t count = 1000;                       // more than one packet each way
    CUdpDataBlockEx call(kScale);
    call.AppendLongData(3);
    call.AppendLongData(count);
    for (std::int32_t i = 0; i < count; ++i) call.AppendLongData(i);

    bool answered = client->CallProcedure(&call, 2000);   // the answer replaces the call
    bool right = answered && call.m_nLength == count;
    for (std::int32_t i = 0; right && i < count; ++i) right = call.GetLongData() == 3 * i;
    std::printf("echo_pair: %s (%d words back from port %u)\n", right ? "OK" : "FAILED", call.m_nLength, serverPort);

    client->StopDispatchThread();
    server->StopDispatchThread();
    return right ? 0 : 1;
}
