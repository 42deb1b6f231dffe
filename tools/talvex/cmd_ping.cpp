// talvex ping: round-trip times of RP_PING / RP_PING_ANSWER with a peer, like the
// ping people know, ending with min/avg/max and the loss.
#include "Address.h"
#include "ClientCaller.h"
#include "Commands.h"
#include "Options.h"

#include <Talvex05u.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr const char* kCommand = "ping";
constexpr int kPingWaitMs = 300;   // how long the caller waits for one answer

void PrintHelp() {
    std::printf(
        "usage: talvex ping HOST:PORT [--count N] [--interval MS]\n"
        "\n"
        "Sends RP_PING to the caller at HOST:PORT and prints the round-trip time of\n"
        "each RP_PING_ANSWER (a ping counts as lost after %d ms), then min/avg/max and\n"
        "the loss. Exit 1 when no ping was answered.\n"
        "  --count N       pings to send (default 4)\n"
        "  --interval MS   pause between pings (default 1000)\n",
        kPingWaitMs);
}

struct PingStatistics {
    int sent = 0;
    int received = 0;
    double minimum = 0.0;
    double maximum = 0.0;
    double total = 0.0;

    void Add(double milliseconds) {
        minimum = received == 0 ? milliseconds : std::min(minimum, milliseconds);
        maximum = std::max(maximum, milliseconds);
        total += milliseconds;
        ++received;
    }
};

// One ping through the caller; the round-trip time, or a negative value when no answer came.
double PingOnce(CRP_Caller& caller) {
    talvex::ResetEvent(caller.m_hPingAnswerEvent);   // forget an answer that came too late last time
    auto start = std::chrono::steady_clock::now();
    caller.Ping();
    double milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return caller.IsActive() ? milliseconds : -1.0;
}

void PrintSummary(const std::string& peer, const PingStatistics& stats) {
    int lossPercent = stats.sent == 0 ? 0 : (stats.sent - stats.received) * 100 / stats.sent;
    std::printf("--- %s ping statistics ---\n%d sent, %d received, %d%% loss\n", peer.c_str(), stats.sent,
                stats.received, lossPercent);
    if (stats.received > 0) {
        std::printf("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", stats.minimum, stats.total / stats.received,
                    stats.maximum);
    }
}

}  // namespace

int RunPing(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"count", true}, {"interval", true}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    if (options->positionals.size() != 1) return cli::UsageError(kCommand, "expected HOST:PORT");
    auto count = cli::ParseInteger(options->Get("count", "4"), 1, 1000000, "--count", &error);
    if (!count) return cli::UsageError(kCommand, error);
    auto interval = cli::ParseInteger(options->Get("interval", "1000"), 0, 3600000, "--interval", &error);
    if (!interval) return cli::UsageError(kCommand, error);
    auto peer = cli::ParsePeerAddress(options->positionals[0], &error);
    if (!peer) return cli::UsageError(kCommand, error);

    CRP_Caller caller;
    cli::StartedCaller started(&caller);
    if (!started.Start(&error)) {
        std::fprintf(stderr, "talvex ping: %s\n", error.c_str());
        return 1;
    }
    caller.SetRemoteSocket(peer->port, peer->hostAddress);
    std::string name = peer->ToString();
    std::printf("PING %s: RP_PING, 16 bytes\n", name.c_str());
    std::fflush(stdout);
    PingStatistics stats;
    for (std::int64_t sequence = 1; sequence <= *count; ++sequence) {
        if (sequence > 1) talvex::Sleep(static_cast<std::uint32_t>(*interval));
        double milliseconds = PingOnce(caller);
        ++stats.sent;
        if (milliseconds >= 0.0) {
            stats.Add(milliseconds);
            std::printf("16 bytes from %s: seq=%lld time=%.3f ms\n", name.c_str(), static_cast<long long>(sequence),
                        milliseconds);
        } else {
            std::printf("no answer from %s: seq=%lld (waited %d ms)\n", name.c_str(), static_cast<long long>(sequence),
                        kPingWaitMs);
        }
        std::fflush(stdout);
    }
    PrintSummary(name, stats);
    return stats.received > 0 ? 0 : 1;
}
