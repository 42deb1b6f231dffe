// talvex ping: round-trip times of RP_PING / RP_PING_ANSWER with a peer, like the
// ping people know, ending with min/avg/max and the loss.
#include "Address.h"
#include "ClientCaller.h"
#include "Commands.h"
#include "Json.h"
#include "Options.h"
#include "PeerProbe.h"

#include <Talvex05u.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>

namespace {

constexpr const char* kCommand = "ping";
constexpr int kPingWaitMs = 300;   // how long the caller waits for one answer
constexpr std::uint32_t kSleepSliceMs = 20;   // how soon a pause notices Ctrl-C

std::atomic<bool> g_interrupted{false};   // set by SIGINT: stop and print the summary

extern "C" void OnInterrupt(int) { g_interrupted.store(true); }

// Ctrl-C ends the pings early; the summary is still printed, as ping does.
void CatchInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

// Sleeps `milliseconds` in short slices; returns early once interrupted.
void PauseUnlessInterrupted(std::int64_t milliseconds) {
    while (milliseconds > 0 && !g_interrupted.load()) {
        auto slice = static_cast<std::uint32_t>(std::min<std::int64_t>(milliseconds, kSleepSliceMs));
        talvex::Sleep(slice);
        milliseconds -= slice;
    }
}

void PrintHelp() {
    std::printf(
        "usage: talvex ping HOST:PORT [--count N] [--interval MS] [--json]\n"
        "\n"
        "Sends RP_PING to the caller at HOST:PORT and prints the round-trip time of\n"
        "each RP_PING_ANSWER (a ping counts as lost after %d ms), then min/avg/max and\n"
        "the loss; Ctrl-C stops early with the same summary. Exit 1 when no ping was\n"
        "answered, at once when the peer's system reports that nothing listens on PORT.\n"
        "  --count N       pings to send (default 4)\n"
        "  --interval MS   pause between pings (default 1000)\n"
        "  --json          one JSON object per ping, then one with the summary\n",
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

int LossPercent(const PingStatistics& stats) {
    return stats.sent == 0 ? 0 : (stats.sent - stats.received) * 100 / stats.sent;
}

void PrintSummary(const std::string& peer, const PingStatistics& stats) {
    int lossPercent = LossPercent(stats);
    std::printf("--- %s ping statistics ---\n%d sent, %d received, %d%% loss\n", peer.c_str(), stats.sent,
                stats.received, lossPercent);
    if (stats.received > 0) {
        std::printf("rtt min/avg/max = %.3f/%.3f/%.3f ms\n", stats.minimum, stats.total / stats.received,
                    stats.maximum);
    }
}

void PrintSummaryJson(const PingStatistics& stats) {
    bool any = stats.received > 0;
    cli::JsonLine()
        .Add("sent", stats.sent)
        .Add("received", stats.received)
        .Add("loss_percent", LossPercent(stats))
        .Add("min_ms", any ? cli::JsonMilliseconds(stats.minimum) : "null")
        .Add("avg_ms", any ? cli::JsonMilliseconds(stats.total / stats.received) : "null")
        .Add("max_ms", any ? cli::JsonMilliseconds(stats.maximum) : "null")
        .Print();
}

void PrintPing(const std::string& peer, std::int64_t sequence, double milliseconds, bool json) {
    if (json) {
        cli::JsonLine().Add("seq", sequence)
            .Add("time_ms", milliseconds >= 0.0 ? cli::JsonMilliseconds(milliseconds) : "null").Print();
    } else if (milliseconds >= 0.0) {
        std::printf("16 bytes from %s: seq=%lld time=%.3f ms\n", peer.c_str(), static_cast<long long>(sequence),
                    milliseconds);
    } else {
        std::printf("no answer from %s: seq=%lld (waited %d ms)\n", peer.c_str(), static_cast<long long>(sequence),
                    kPingWaitMs);
    }
    std::fflush(stdout);
}

}  // namespace

int RunPing(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"count", true}, {"interval", true}, {"json", false}}, &error);
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

    const bool json = options->Has("json");
    const std::string name = peer->ToString();
    if (cli::ProbePeer(*peer, kPingWaitMs) == cli::ProbeResult::NothingListens) {
        std::fprintf(stderr, "talvex ping: %s\n", cli::NothingListensText(*peer).c_str());
        return cli::kExitNoAnswer;
    }
    CRP_Caller caller;
    cli::StartedCaller started(&caller);
    if (!started.Start(&error)) {
        std::fprintf(stderr, "talvex ping: %s\n", error.c_str());
        return cli::kExitCannotStart;
    }
    caller.SetRemoteSocket(peer->port, peer->hostAddress);
    CatchInterrupt();
    if (!json) {
        std::printf("PING %s: RP_PING, 16 bytes\n", name.c_str());
        std::fflush(stdout);
    }
    PingStatistics stats;
    for (std::int64_t sequence = 1; sequence <= *count && !g_interrupted.load(); ++sequence) {
        if (sequence > 1) PauseUnlessInterrupted(*interval);
        if (g_interrupted.load()) break;
        double milliseconds = PingOnce(caller);
        ++stats.sent;
        if (milliseconds >= 0.0) stats.Add(milliseconds);
        PrintPing(name, sequence, milliseconds, json);
    }
    if (json) {
        PrintSummaryJson(stats);
    } else {
        PrintSummary(name, stats);
    }
    return stats.received > 0 ? cli::kExitDone : cli::kExitNoAnswer;
}
