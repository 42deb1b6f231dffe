// echo_pair: a caller that serves procedure 10 (multiply every value by a factor)
// and a second caller in the same process that calls it with 1000 values.
#include <Talvex05u.h>

#include <cstdio>
#include <vector>

constexpr std::int32_t kScale = 10;

class Scaler : public CRP_CallerEx {
public:
    void DoRemoteFunction(CUdpDataBlockEx* call) override {    // runs on the dispatch thread
        if (call->m_nProcedure != kScale) return;                // no answer: the caller times out
        std::int32_t factor = call->GetLongData();
        std::int32_t count = call->GetLongData();
        std::vector<std::int32_t> values;
        for (std::int32_t i = 0; i < count; ++i) values.push_back(call->GetLongData());
        call->ResetForReturn();                                  // keeps procedure and reference number
        for (std::int32_t value : values) call->AppendLongData(value * factor);
        SendReturn(call);                                        // long answers leave as chunks
    }
};

int main() {
    Scaler server;                                               // false: the port could not be bound
    CRP_CallerEx client;
    if (!server.StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0) ||    // remote port 0: no fixed peer
        !client.StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0))
        return 1;
    unsigned short port = server.GetMyUDPPort();                 // the port the system chose
    client.SetRemoteSocket(port, 0x7F000001);                    // calls (and their chunks) go to 127.0.0.1:port

    CUdpDataBlockEx call(kScale);
    call.AppendLongData(3);
    call.AppendLongData(1000);
    for (std::int32_t i = 0; i < 1000; ++i) call.AppendLongData(i);
    bool right = client.CallProcedure(&call, 2000) && call.m_nLength == 1000;    // the answer replaces the call
    for (std::int32_t i = 0; right && i < 1000; ++i) right = call.GetLongData() == 3 * i;   // read with the gets
    std::printf("echo_pair: %s\n", right ? "OK, 1000 values tripled" : "FAILED");
    client.StopDispatchThread();
    server.StopDispatchThread();
    return right ? 0 : 1;
}
