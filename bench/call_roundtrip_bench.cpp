// Round trip of a one-packet CallProcedure between two callers of one process on
// loopback, against a raw UDP ping-pong of the same size between two threads.
// Prints median and p99 of both and their ratio, for a few wait-spin settings.
// Usage: talvex_bench_call [round trips per run, default 5000]
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/platform/Event.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int32_t kProcEcho = 1;
constexpr int kPayloadWords = 16;   // one packet of 16 + 64 bytes each way
constexpr int kPacketBytes = 16 + 4 * kPayloadWords;

class EchoCaller : public CRP_Caller {
public:
    ~EchoCaller() override { StopDispatchThread(); }

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        if (block->m_nProcedure != kProcEcho) return;
        block->ResetForReturn();
        for (int i = 0; i < kPayloadWords; ++i) block->AppendLongData(i);
        SendReturn(block);
    }
};

struct Stats {
    double median;
    double p99;
};

Stats Summarise(std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100]};
}

double MicrosSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

Stats RawPingPong(int rounds) {
    const int a = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int b = ::socket(AF_INET, SOCK_DGRAM, 0);
    CSockAddr addressA(0x7F000001u, 0);
    CSockAddr addressB(0x7F000001u, 0);
    ::bind(a, static_cast<const sockaddr*>(addressA), sizeof(sockaddr_in));
    ::bind(b, static_cast<const sockaddr*>(addressB), sizeof(sockaddr_in));
    socklen_t length = sizeof(sockaddr_in);
    ::getsockname(a, static_cast<sockaddr*>(addressA), &length);
    length = sizeof(sockaddr_in);
    ::getsockname(b, static_cast<sockaddr*>(addressB), &length);

    std::thread echo([&] {
        char buffer[2048];
        for (int i = 0; i < rounds; ++i) {
            const ssize_t n = ::recv(b, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            ::sendto(b, buffer, static_cast<size_t>(n), 0, static_cast<const sockaddr*>(addressA), sizeof(sockaddr_in));
        }
    });
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(rounds));
    char packet[kPacketBytes] = {};
    char buffer[2048];
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ::sendto(a, packet, sizeof packet, 0, static_cast<const sockaddr*>(addressB), sizeof(sockaddr_in));
        ::recv(a, buffer, sizeof buffer, 0);
        micros.push_back(MicrosSince(start));
    }
    echo.join();
    ::close(a);
    ::close(b);
    return Summarise(micros);
}

Stats CallRoundTrip(EchoCaller& client, int rounds) {
    std::vector<double> micros;
    micros.reserve(static_cast<size_t>(rounds));
    CUdpDataBlockEx call(kProcEcho);
    for (int i = 0; i < kPayloadWords; ++i) call.AppendLongData(i);
    const CUdpDataBlockEx pattern = call;
    int failures = 0;
    for (int i = 0; i < rounds; ++i) {
        call = pattern;
        const auto start = std::chrono::steady_clock::now();
        if (!client.CallProcedure(&call, 2000)) ++failures;
        micros.push_back(MicrosSince(start));
    }
    if (failures > 0) std::printf("  (%d calls failed)\n", failures);
    return Summarise(micros);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    EchoCaller server;
    EchoCaller client;
    if (!server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) ||
        !client.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) {
        std::fprintf(stderr, "callers did not start\n");
        return 1;
    }
    client.SetRemoteSocket(server.GetMyUDPPort(), 0x7F000001u);

    std::printf("one-packet round trip, %d rounds each, %d-byte packets\n", rounds, kPacketBytes);
    CallRoundTrip(client, rounds / 10);   // warm up
    for (const std::uint32_t spin : {0u, 50u, 200u, 1000u}) {
        talvex::SetWaitSpinIterations(spin);
        const Stats raw = RawPingPong(rounds);
        const Stats call = CallRoundTrip(client, rounds);
        std::printf("spin %5u: raw median %7.1f us p99 %7.1f us | call median %7.1f us p99 %7.1f us | ratio %.2f\n",
                    spin, raw.median, raw.p99, call.median, call.p99, call.median / raw.median);
    }
    talvex::SetWaitSpinIterations(0);
    return 0;
}
