// A caller in a process of its own, for the two-process test: serves the test
// procedures, calls its peer back and ends when asked by a quit event.
// Usage: caller_peer <peer port>. Prints "PORT <own port>", "ACTIVE <0|1>",
// "CALLS <successful calls>", then "BYE" once a quit event arrived.
#include "caller_test_util.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: caller_peer <peer port>\n");
        return 2;
    }
    const auto peerPort = static_cast<unsigned short>(std::atoi(argv[1]));
    // Pulls are matched by reference number only: keep this process's numbers apart.
    CRP_Caller::m_nNextReferenceNumber = 1000000;
    callertest::TestCaller caller;
    const bool active = caller.StartDispatchThread(peerPort, L"127.0.0.1", "", 0);
    std::printf("PORT %u\nACTIVE %d\n", caller.GetMyUDPPort(), active ? 1 : 0);
    std::fflush(stdout);

    int ok = 0;
    for (int i = 0; i < 20; ++i) {
        const std::int32_t count = 100 + 97 * i;
        CUdpDataBlockEx call = callertest::EchoCall(count, 1000 + i);
        if (caller.CallProcedure(&call, 3000) && callertest::HoldsPattern(call, count, 1000 + i)) ++ok;
    }
    std::printf("CALLS %d\n", ok);
    std::fflush(stdout);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!caller.quitRequested && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    caller.StopDispatchThread();
    std::printf("BYE\n");
    std::fflush(stdout);
    return caller.quitRequested ? 0 : 3;
}
