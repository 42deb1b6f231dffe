// talvex bench: every figure of the library measured in one run on this computer,
// each beside its reference (raw floor or peer system) measured interleaved with it.
#include "BenchBroadcast.h"
#include "BenchCalls.h"
#include "BenchHarness.h"
#include "BenchLoad.h"
#include "BenchPeer.h"
#include "BenchSharedMemory.h"
#include "BenchSyscalls.h"
#include "BenchTransfers.h"
#include "Commands.h"
#include "Options.h"

#include <talvex05u/caller/CallerCounters.h>

#include <cstdio>
#include <fstream>
#include <sched.h>
#include <sys/utsname.h>
#include <thread>

namespace {

constexpr const char* kUsage =
    "usage: talvex bench [--quick] [--json FILE] [--csv FILE] [--only FAMILY] [--pin CPU]\n"
    "                   [--wait-spin N] [--socket-spin US] [--chunks-in-flight N] [--publish] [--seconds S]\n"
    "                   [--calls N]\n"
    "  Measures calls, transfers, the shared-memory channel and broadcasts against raw\n"
    "  UDP / shared-memory floors and libtirpc, interleaved in one run; prints a table\n"
    "  (median and 99th percentile of each, and the ratio). --quick takes under 30 s.\n"
    "  --only runs one family, for profiling: calls, rate, transfers, processes, chunks, broadcast,\n"
    "  syscalls (system calls per 16-byte call, both peers, beside the raw ping-pong's).\n"
    "  --pin CPU runs every thread of the run, of the second processes too, on that one CPU:\n"
    "  the one-packet ratios then do not depend on where the scheduler puts the threads.\n"
    "  --calls N sets the calls counted by the syscalls family (default 5000, 1000 with --quick).\n"
    "  --only load runs the load family, which a full run leaves out (about 35 s):\n"
    "  1, 4 and 16 client threads, 4 client processes x 4 threads and 16 threads sharing one\n"
    "  caller of each kind, each with short calls and with a mix of short, pulled and chunked\n"
    "  answers, every answer checked; the short rows beside a one-thread raw UDP echo.\n"
    "  --seconds S runs each side of a load row S seconds (1 to 30; default 2, 1 with --quick).\n"
    "  --wait-spin N sets the library's wait spin (talvex::SetWaitSpinIterations) before measuring.\n"
    "  --socket-spin US sets how long a thread waiting for a socket polls it before it sleeps\n"
    "  (talvex::SetSocketSpinMicroseconds; default 20, 0: never), in every process of the run.\n"
    "  --chunks-in-flight N sets the chunk calls a chunked call keeps outstanding (1 to 64).\n"
    "  --publish publishes the callers' counters while it measures, for talvex stat --watch.\n";

// True when the family `name` is to run (all run without --only).
bool Wanted(const cli::ParsedOptions& options, const char* name) {
    return !options.Has("only") || options.Get("only") == name;
}

constexpr int kCaseCount = bench::kThreadCallCaseCount + 1 + bench::kProcessCallCaseCount +
                           bench::kSharedMemoryCaseCount + bench::kTransferCaseCount +
                           bench::kChunkHistoryCaseCount + bench::kBroadcastCaseCount + bench::kSyscallCaseCount;

constexpr int kMaxCountedCalls = 10'000'000;

// The calls the syscalls family counts (checked in RunBench).
int CountedCalls(const cli::ParsedOptions& options) {
    if (options.Has("calls")) {
        std::string error;
        const auto calls = cli::ParseInteger(options.Get("calls"), 1, kMaxCountedCalls, "--calls", &error);
        if (calls) return static_cast<int>(*calls);
    }
    return options.Has("quick") ? 1000 : 5000;
}

std::string PinnedText() {
    const auto cpu = bench::PinnedCpu();
    return cpu ? ", pinned to CPU " + std::to_string(*cpu) : std::string();
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string MachineLine() {
    utsname name{};
    ::uname(&name);
    std::string model = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    return std::string(name.sysname) + " " + name.release + ", " + std::to_string(std::thread::hardware_concurrency()) +
           " x " + model;
}

void SkipAll(const std::vector<std::string>& names, const std::string& why, bench::Progress& progress,
             std::vector<bench::CaseResult>* results) {
    for (const auto& name : names) {
        progress.BeginCase(name);
        bench::CaseResult result;
        result.name = name;
        result.skipped = why;
        results->push_back(result);
    }
}

void RunLocalCases(const cli::ParsedOptions& options, bench::Progress& progress,
                   std::vector<bench::CaseResult>* results) {
    const bool quick = options.Has("quick");
    if (!Wanted(options, "calls") && !Wanted(options, "rate") && !Wanted(options, "transfers")) return;
    bench::LocalPair pair;
    if (!bench::StartLocalPair(&pair)) {
        SkipAll({"local callers"}, "the local callers did not start", progress, results);
        return;
    }
    if (options.Has("chunks-in-flight")) {
        std::string error;   // checked in RunBench
        const auto inFlight = cli::ParseInteger(options.Get("chunks-in-flight"), 1, talvex::kMaxChunksInFlight,
                                                "--chunks-in-flight", &error);
        if (inFlight) pair.client->SetChunksInFlight(static_cast<std::int32_t>(*inFlight));
    }
    if (Wanted(options, "calls")) bench::RunThreadCallCases(pair, quick, progress, results);
    if (Wanted(options, "rate")) bench::RunCallsPerSecondCase(pair, quick, progress, results);
    if (Wanted(options, "transfers")) bench::RunTransferCases(pair, quick, progress, results);
}

// How long each side of a load row runs.
std::chrono::milliseconds LoadRowTime(const cli::ParsedOptions& options) {
    if (options.Has("seconds")) {
        std::string error;   // checked in RunBench
        const auto seconds = cli::ParseInteger(options.Get("seconds"), 1, 30, "--seconds", &error);
        if (seconds) return std::chrono::seconds(*seconds);
    }
    return options.Has("quick") ? std::chrono::seconds(1) : std::chrono::seconds(2);
}

void RunProcessCases(bool quick, bench::Progress& progress, std::vector<bench::CaseResult>* results) {
    bench::PeerSession peer;
    std::string why;
    const bool started = peer.Start(&why);
    if (!started) std::fprintf(stderr, "\ntalvex bench: %s\n", why.c_str());
    bench::RunProcessCallCases(started ? peer.PeerCallerPort() : 0, started ? peer.PeerRawPort() : 0, quick,
                               progress, results);
    bench::RunSharedMemoryCases(started ? peer.Channel() : nullptr, started ? peer.Floor() : nullptr,
                                started ? peer.PeerCallerPort() : 0, quick, progress, results);
}

int RunMeasurements(const cli::ParsedOptions& options) {
    const bool quick = options.Has("quick");
    const std::string loadBefore = LoadAverage();
    const auto start = bench::Clock::now();
    // The load family runs only when asked for by name: it takes longer than all the others.
    const bool loadOnly = options.Get("only") == "load";
    std::vector<bench::CaseResult> results;
    std::vector<bench::LoadRow> loadRows;
    std::vector<bench::SyscallRow> syscallRows;
    {
        bench::Progress progress(loadOnly ? bench::kLoadRowCount : kCaseCount);
        RunLocalCases(options, progress, &results);
        if (Wanted(options, "processes")) RunProcessCases(quick, progress, &results);
        if (Wanted(options, "chunks")) bench::RunChunkHistoryCase(quick, progress, &results);
        if (Wanted(options, "broadcast")) bench::RunBroadcastCase(quick, progress, &results);
        if (Wanted(options, "syscalls")) bench::RunSyscallCase(CountedCalls(options), progress, &syscallRows);
        if (loadOnly) loadRows = bench::RunLoadRows(LoadRowTime(options), progress);
    }
    const double seconds = bench::MicrosSince(start) / 1e6;
    std::printf("talvex bench%s on %s%s\nload average before: %s, after: %s; %.1f s; library wait spin %u, "
                "socket spin %u us\n\n",
                quick ? " --quick" : "", MachineLine().c_str(), PinnedText().c_str(), loadBefore.c_str(),
                LoadAverage().c_str(), seconds, talvex::GetWaitSpinIterations(), talvex::GetSocketSpinMicroseconds());
    if (loadOnly) {
        std::printf("load: each side of a row ran %.0f s; calls time out after %d ms\n\n",
                    LoadRowTime(options).count() / 1000.0, bench::kLoadTimeoutMs);
        bench::PrintLoadTable(loadRows, stdout);
    } else {
        if (!results.empty() || syscallRows.empty()) bench::PrintTable(results, stdout);
        if (!results.empty() && !syscallRows.empty()) std::printf("\n");
        bench::PrintSyscallTable(syscallRows, stdout);
    }
    int status = 0;
    const auto writeJson = [&](const std::string& path) {
        return loadOnly ? bench::WriteLoadJson(loadRows, path)
                        : bench::WriteJson(results, path, bench::SyscallJsonObjects(syscallRows));
    };
    const auto writeCsv = [&](const std::string& path) {
        return loadOnly ? bench::WriteLoadCsv(loadRows, path) : bench::WriteCsv(results, path);
    };
    if (options.Has("json") && !writeJson(options.Get("json"))) {
        std::fprintf(stderr, "talvex bench: cannot write %s\n", options.Get("json").c_str());
        status = 1;
    }
    if (options.Has("csv") && !writeCsv(options.Get("csv"))) {
        std::fprintf(stderr, "talvex bench: cannot write %s\n", options.Get("csv").c_str());
        status = 1;
    }
    return status;
}

}  // namespace

int RunBench(int argc, char** argv) {
    std::string error;
    const auto options = cli::ParseOptions(
        argc, argv, {{"quick", false}, {"json", true}, {"csv", true}, {"only", true}, {"wait-spin", true}, {"socket-spin", true},
                        {"chunks-in-flight", true}, {"peer", false},
                        {"broadcast-inside", false}, {"publish", false}, {"seconds", true},
                        {"load-client", false}, {"pin", true}, {"calls", true}},
        &error);
    if (!options) return cli::UsageError("bench", error);
    if (options->help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    // Pinned before any thread starts: every thread of the run inherits the CPU, and the
    // second processes get --pin as well.
    if (options->Has("pin")) {
        const auto cpu = cli::ParseInteger(options->Get("pin"), 0, CPU_SETSIZE - 1, "--pin", &error);
        if (!cpu) return cli::UsageError("bench", error);
        if (!bench::PinToCpu(static_cast<int>(*cpu), &error)) return cli::UsageError("bench", error);
    }
    // Before the roles of the program re-executed by itself, which run with it too.
    if (options->Has("socket-spin")) {
        const auto spin = cli::ParseInteger(options->Get("socket-spin"), 0, 1'000'000, "--socket-spin", &error);
        if (!spin) return cli::UsageError("bench", error);
        talvex::SetSocketSpinMicroseconds(static_cast<std::uint32_t>(*spin));
    }
    if (options->Has("calls") && !cli::ParseInteger(options->Get("calls"), 1, kMaxCountedCalls, "--calls", &error))
        return cli::UsageError("bench", error);
    // The roles of the program re-executed by itself.
    if (options->Has("peer")) {
        const auto& p = options->positionals;
        if (p.size() != 3) return cli::UsageError("bench", "--peer takes DIR KEY PORT");
        const auto key = cli::ParseInteger(p[1], 1, 0x7FFFFFFF, "KEY", &error);
        const auto port = cli::ParseInteger(p[2], 0, 65535, "PORT", &error);
        if (!key || !port) return cli::UsageError("bench", error);
        return bench::RunBenchPeer(p[0], static_cast<int>(*key), static_cast<unsigned short>(*port));
    }
    if (options->Has("broadcast-inside")) return bench::RunBroadcastInside(options->Has("quick"));
    if (!options->Has("load-client") && !options->positionals.empty())
        return cli::UsageError("bench", "unexpected argument " + options->positionals[0]);
    if (options->Has("wait-spin")) {
        const auto spin = cli::ParseInteger(options->Get("wait-spin"), 0, 100'000'000, "--wait-spin", &error);
        if (!spin) return cli::UsageError("bench", error);
        talvex::SetWaitSpinIterations(static_cast<std::uint32_t>(*spin));
    }
    // A load client process, after the wait spin it is handed like every other caller of the run.
    if (options->Has("load-client")) return bench::RunLoadClient(options->positionals);
    if (options->Has("chunks-in-flight") &&
        !cli::ParseInteger(options->Get("chunks-in-flight"), 1, talvex::kMaxChunksInFlight, "--chunks-in-flight", &error)) {
        return cli::UsageError("bench", error);
    }
    if (options->Has("seconds") && !cli::ParseInteger(options->Get("seconds"), 1, 30, "--seconds", &error))
        return cli::UsageError("bench", error);
    if (options->Has("publish")) talvex::PublishCounters();
    // The loops that scripts/syscalls-per-call.sh counts under strace: calls only, no table.
    if (options->Get("only") == "syscalls-loop" || options->Get("only") == "syscalls-loop-raw")
        return bench::RunSyscallLoop(options->Get("only") == "syscalls-loop-raw", CountedCalls(*options));
    return RunMeasurements(*options);
}
