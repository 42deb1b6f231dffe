// One side of the soak run: serves the other side's mixed calls and calls it in turn
// with the lossy-wire workload of the tests (one-packet calls, chunked calls and
// chunked returns, every answer checked word for word) in rounds until its time is
// up, then prints the outcome counts (scripts/soak.sh watches the resident memory).
// All the while it throws 250 random datagrams a second at the other side's server.
// Usage: soak_peer <own port> <peer port> <seconds> <tag 1..127>
#include "fault_workload.h"
#include "support/loopback.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

namespace {

void PrintStatus(const char* what, const faultload::Outcomes& outcomes)
{
    std::printf("%s %s\n", what, faultload::FormatOutcomes(outcomes).c_str());
    std::fflush(stdout);
}

// Random datagrams of up to 1500 bytes, half of them with a real message type in
// word 0 so that they reach the handlers behind the type switch, until `end`.
void ThrowNoise(std::uint16_t port, std::chrono::steady_clock::time_point end)
{
    const testsupport::Fd socket = testsupport::BoundLoopback(SOCK_DGRAM);
    const sockaddr_in to = testsupport::LoopbackAddress(port);
    std::mt19937 random(port);
    std::int32_t words[375];
    for (auto next = std::chrono::steady_clock::now(); next < end; next += std::chrono::milliseconds(4)) {
        for (std::int32_t& word : words) word = static_cast<std::int32_t>(random());
        if (random() % 2 == 0) words[0] = static_cast<std::int32_t>(random() % 13);
        ::sendto(socket.Get(), words, random() % (sizeof words + 1), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_until(next);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: soak_peer <own port> <peer port> <seconds> <tag 1..127>\n");
        return 2;
    }
    auto server = std::make_unique<faultload::MixedServerEx>();   // too large for the stack
    server->SetMyPort(static_cast<unsigned short>(std::atoi(argv[1])));
    faultload::Settings settings;
    settings.tag = std::atoi(argv[4]);
    settings.seed = static_cast<std::uint32_t>(settings.tag);
    settings.timeoutMs = 500;
    faultload::ClientWorkload workload(settings);
    if (!server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) ||
        !workload.Start(static_cast<std::uint16_t>(std::atoi(argv[2])), 0)) {
        std::fprintf(stderr, "soak_peer: cannot start on port %s\n", argv[1]);
        return 1;
    }
    PrintStatus("start", workload.Overall());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    std::thread noise(ThrowNoise, static_cast<std::uint16_t>(std::atoi(argv[2])), end);
    for (int firstCall = 1; std::chrono::steady_clock::now() < end; firstCall += settings.calls)
        workload.Run(firstCall);
    noise.join();
    // Keep serving a little longer, so the other side's last calls are answered.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    PrintStatus("end", workload.Overall());
    return workload.Overall().wrongTrue == 0 && workload.Overall().hang == 0 ? 0 : 3;
}
