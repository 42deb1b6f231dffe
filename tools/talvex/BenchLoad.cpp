#include "BenchLoad.h"

#include "BenchRawUdp.h"
#include "Options.h"
#include "Subprocess.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kClientProcesses = 4;
constexpr int kThreadsPerProcess = 4;
constexpr int kMaxClientThreads = 16;
// How long a client process may take to start its callers and report ready.
constexpr auto kReadyLimit = std::chrono::seconds(15);
// How long a client process waits for its start; then the measuring process is taken for gone.
constexpr auto kStartWaitLimit = std::chrono::seconds(60);
// Past a run's time, for the calls then in flight to end (each ends by its own time-out).
constexpr auto kEndSlack = std::chrono::seconds(30);
constexpr auto kProgressStep = std::chrono::milliseconds(50);

// How the clients of a row call: threads with callers of their own, client processes
// of such threads, or threads that share one caller of each kind.
enum class Clients { kThreads, kProcesses, kSharedCallers };

struct Shape {
    Clients clients;
    int processes;
    int threadsPerProcess;
    int Threads() const { return processes * threadsPerProcess; }
};

constexpr std::array<Shape, 5> kShapes = {{
    {Clients::kThreads, 1, 1},
    {Clients::kThreads, 1, 4},
    {Clients::kThreads, 1, kMaxClientThreads},
    {Clients::kProcesses, kClientProcesses, kThreadsPerProcess},
    {Clients::kSharedCallers, 1, kMaxClientThreads},
}};

std::string ClientsName(const Shape& shape) {
    const std::string threads = std::to_string(shape.threadsPerProcess) +
                                (shape.threadsPerProcess == 1 ? " thread" : " threads");
    switch (shape.clients) {
    case Clients::kThreads: return threads;
    case Clients::kProcesses: return std::to_string(shape.processes) + " processes x " + threads;
    case Clients::kSharedCallers: return threads + ", shared callers";
    }
    return threads;
}

// The ports a run's clients call.
struct ServerPorts {
    unsigned short extended = 0;
    unsigned short plain = 0;   // 0 for the short workload, which pulls nothing
    unsigned short raw = 0;
};

// Every thread of every process calls with its own seeds, and starts the mix's rotation at its own place.
std::int32_t SeedBase(int process, int thread) {
    return static_cast<std::int32_t>((process * kMaxClientThreads + thread + 1) * kMaxCallsPerThread);
}
int Phase(int process, int thread) { return process * kThreadsPerProcess + thread; }

// What one side of a row measured.
struct RunResult {
    LoadCounts counts;
    double seconds = 0;   // from the start until the last call ended
    std::int64_t diagnostics = 0;
    std::string failure;   // not empty: the run did not take place
};

// Counts the lines the library hands its diagnostic sink while the object lives.
class DiagnosticCount {
public:
    DiagnosticCount() { talvex::SetDiagnosticSink(&Note, this); }
    ~DiagnosticCount() { talvex::SetDiagnosticSink(nullptr, nullptr); }
    DiagnosticCount(const DiagnosticCount&) = delete;
    DiagnosticCount& operator=(const DiagnosticCount&) = delete;
    std::int64_t Lines() const { return m_lines; }

private:
    static void Note(const char*, void* self) { ++static_cast<DiagnosticCount*>(self)->m_lines; }
    std::atomic<std::int64_t> m_lines{0};
};

// The stretch of the row's progress that one run fills (the library's run and the raw one share a row).
struct ProgressSpan {
    Progress* progress = nullptr;   // null: no progress (a client process)
    double from = 0;
    double to = 1;
    void At(double fraction) const {
        if (progress) progress->Advance(from + (to - from) * std::clamp(fraction, 0.0, 1.0));
    }
};

double Fraction(Clock::time_point start, std::chrono::milliseconds runTime) {
    return MicrosSince(start) / (static_cast<double>(runTime.count()) * 1000.0);
}

using ThreadBody = std::function<LoadCounts(int thread, Clock::time_point deadline)>;

// Runs `threads` threads of `body` together until `runTime` has passed and sums their
// counts; the run's time lasts until its last call ended.
RunResult RunThreads(int threads, const ThreadBody& body, std::chrono::milliseconds runTime, const ProgressSpan& span) {
    RunResult result;
    DiagnosticCount diagnostics;
    std::vector<LoadCounts> counts(static_cast<std::size_t>(threads));
    std::vector<double> endMicros(static_cast<std::size_t>(threads), 0.0);
    std::atomic<int> finished{0};
    const auto start = Clock::now();
    const auto deadline = start + runTime;
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                counts[static_cast<std::size_t>(t)] = body(t, deadline);
                endMicros[static_cast<std::size_t>(t)] = MicrosSince(start);
                ++finished;
            });
        }
        // Only draws the progress: every thread ends by itself, each call having its time-out.
        while (finished < threads && Clock::now() < deadline + kEndSlack) {
            span.At(Fraction(start, runTime));
            std::this_thread::sleep_for(kProgressStep);
        }
    }   // the workers are joined here
    for (const LoadCounts& threadCounts : counts) result.counts.Add(threadCounts);
    result.seconds = *std::max_element(endMicros.begin(), endMicros.end()) / 1e6;
    result.diagnostics = diagnostics.Lines();
    return result;
}

// Starts `count` sets of client callers pointed at `ports`; false when one did not start.
bool StartClientCallers(int count, const ServerPorts& ports, std::vector<ClientCallers>* callers) {
    callers->resize(static_cast<std::size_t>(count));
    for (ClientCallers& set : *callers)
        if (!set.Start(ports.extended, ports.plain)) return false;
    return true;
}

// The library side of a process's threads: each with its own callers, or all with one shared set.
RunResult RunLibraryThreads(int process, int threads, bool shareCallers, Workload workload, const ServerPorts& ports,
                            std::chrono::milliseconds runTime, const ProgressSpan& span) {
    std::vector<ClientCallers> callers;
    if (!StartClientCallers(shareCallers ? 1 : threads, ports, &callers)) {
        RunResult failed;
        failed.failure = "a client caller did not start";
        return failed;
    }
    return RunThreads(
        threads,
        [&](int thread, Clock::time_point deadline) {
            const ClientCallers& own = callers[shareCallers ? 0 : static_cast<std::size_t>(thread)];
            return RunLibraryThread(own.Callers(), workload, SeedBase(process, thread), Phase(process, thread),
                                    deadline);
        },
        runTime, span);
}

// The raw side of a process's threads: each its own socket.
RunResult RunRawThreads(int process, int threads, unsigned short echoPort, std::chrono::milliseconds runTime,
                        const ProgressSpan& span) {
    return RunThreads(
        threads,
        [&](int thread, Clock::time_point deadline) {
            return RunRawThread(echoPort, SeedBase(process, thread), deadline);
        },
        runTime, span);
}

// ---- client processes ------------------------------------------------------------------------

// Waits until standard input ends (the measuring process's start signal); false when it
// did not within kStartWaitLimit.
bool WaitForEndOfInput() {
    const auto end = Clock::now() + kStartWaitLimit;
    char buffer[64];
    while (Clock::now() < end) {
        pollfd input{0, POLLIN, 0};
        if (::poll(&input, 1, 200) <= 0) continue;
        if (::read(0, buffer, sizeof buffer) <= 0) return true;
    }
    return false;
}

// The DONE line of a client process: its run's time in microseconds, the diagnostic
// lines, the right answers in time, then right, false and wrong of each call kind.
std::string DoneLine(const RunResult& result) {
    std::ostringstream line;
    line << "DONE " << static_cast<std::int64_t>(result.seconds * 1e6) << ' ' << result.diagnostics << ' '
         << result.counts.rightInTime;
    for (const Tally& tally : result.counts.byKind) line << ' ' << tally.right << ' ' << tally.failed << ' ' << tally.wrong;
    return line.str();
}

bool ParseDoneLine(const std::string& line, RunResult* result) {
    if (line.rfind("DONE ", 0) != 0) return false;
    std::istringstream fields(line.substr(5));
    std::int64_t micros = 0;
    fields >> micros >> result->diagnostics >> result->counts.rightInTime;
    for (Tally& tally : result->counts.byKind) fields >> tally.right >> tally.failed >> tally.wrong;
    result->seconds = static_cast<double>(micros) / 1e6;
    return static_cast<bool>(fields);
}

// Reads lines of `child` until one starts with `prefix` or `deadline` passes, drawing the
// progress meanwhile; the line, or an empty text.
std::string AwaitLine(cli::Subprocess& child, const std::string& prefix, Clock::time_point deadline,
                      const ProgressSpan& span, Clock::time_point start, std::chrono::milliseconds runTime) {
    constexpr auto kReadStep = kProgressStep * 4;
    std::string line;
    while (Clock::now() < deadline) {
        const auto asked = Clock::now();
        if (child.ReadLine(&line, kReadStep)) {
            if (line.rfind(prefix, 0) == 0) return line;
            continue;
        }
        // A read that gave up long before its time: the child's output has ended.
        if (Clock::now() - asked < kReadStep / 4) return "";
        span.At(Fraction(start, runTime));
    }
    return "";
}

std::vector<std::string> ClientArguments(const char* mode, Workload workload, int threads,
                                         std::chrono::milliseconds runTime, const ServerPorts& ports, int index) {
    // The client's callers wait with the wait spin of this process's callers, on its CPU when the run is pinned.
    std::vector<std::string> args = {cli::Subprocess::SelfPath(), "bench"};
    for (const std::string& argument : SecondProcessArguments()) args.push_back(argument);
    for (const std::string& argument :
         {std::string("--wait-spin"), std::to_string(talvex::GetWaitSpinIterations()), std::string("--load-client"),
          std::string(mode), std::string(WorkloadName(workload)), std::to_string(threads),
          std::to_string(runTime.count()), std::to_string(ports.extended), std::to_string(ports.plain),
          std::to_string(ports.raw), std::to_string(index)})
        args.push_back(argument);
    return args;
}

// One run in client processes of the program itself: all started and ready, then told to
// go together (their standard input closed); their counts summed, the longest run's time taken.
RunResult RunInClientProcesses(const char* mode, Workload workload, const Shape& shape, const ServerPorts& ports,
                               std::chrono::milliseconds runTime, const ProgressSpan& span) {
    RunResult result;
    DiagnosticCount serverDiagnostics;   // the serving callers live in this process
    std::vector<cli::Subprocess> children(static_cast<std::size_t>(shape.processes));
    for (int index = 0; index < shape.processes; ++index) {
        const auto args = ClientArguments(mode, workload, shape.threadsPerProcess, runTime, ports, index);
        std::string why;
        if (!children[static_cast<std::size_t>(index)].Start(args[0], args, &why, false)) {
            result.failure = "a client process did not start: " + why;
            return result;
        }
    }
    const auto readyBy = Clock::now() + kReadyLimit;
    for (cli::Subprocess& child : children) {
        if (AwaitLine(child, "READY", readyBy, ProgressSpan{}, Clock::now(), runTime).empty()) {
            result.failure = "a client process did not report ready";
            return result;   // the children still running are killed with their objects
        }
    }
    const auto start = Clock::now();
    for (cli::Subprocess& child : children) child.CloseInput();
    const auto doneBy = start + runTime + kEndSlack;
    for (cli::Subprocess& child : children) {
        RunResult own;
        if (!ParseDoneLine(AwaitLine(child, "DONE ", doneBy, span, start, runTime), &own)) {
            result.failure = "a client process reported no counts";
            return result;
        }
        result.counts.Add(own.counts);
        result.diagnostics += own.diagnostics;
        result.seconds = std::max(result.seconds, own.seconds);
    }
    for (cli::Subprocess& child : children) child.Wait(std::chrono::seconds(5));
    result.diagnostics += serverDiagnostics.Lines();
    return result;
}

// ---- rows ------------------------------------------------------------------------------------

RunResult RunLibrarySide(const Shape& shape, Workload workload, std::chrono::milliseconds runTime,
                         const ProgressSpan& span) {
    LoadServers servers;
    if (!servers.Start()) {
        RunResult failed;
        failed.failure = "the serving callers did not start";
        return failed;
    }
    ServerPorts ports;
    ports.extended = servers.extended->GetMyUDPPort();
    ports.plain = workload == Workload::kMix ? servers.plain->GetMyUDPPort() : 0;
    if (shape.clients == Clients::kProcesses) return RunInClientProcesses("library", workload, shape, ports, runTime, span);
    return RunLibraryThreads(0, shape.Threads(), shape.clients == Clients::kSharedCallers, workload, ports, runTime, span);
}

RunResult RunRawSide(const Shape& shape, std::chrono::milliseconds runTime, const ProgressSpan& span) {
    RawEcho echo(RawEcho::Answer::Mirror);
    ServerPorts ports;
    ports.raw = echo.Port();
    if (ports.raw == 0) {
        RunResult failed;
        failed.failure = "the raw echo did not start";
        return failed;
    }
    if (shape.clients == Clients::kProcesses) return RunInClientProcesses("raw", Workload::kShort, shape, ports, runTime, span);
    return RunRawThreads(0, shape.Threads(), ports.raw, runTime, span);
}

// One row: the library's side against fresh serving callers, then (short rows) the raw side.
LoadRow MeasureRow(const Shape& shape, Workload workload, std::chrono::milliseconds runTime, Progress& progress) {
    LoadRow row;
    row.clients = ClientsName(shape);
    row.workload = workload;
    progress.BeginCase("load: " + row.clients + ", " + WorkloadName(workload));
    row.hasRaw = workload == Workload::kShort;
    const RunResult library = RunLibrarySide(shape, workload, runTime, ProgressSpan{&progress, 0, row.hasRaw ? 0.5 : 1});
    if (!library.failure.empty()) {
        row.skipped = library.failure;
        return row;
    }
    row.runSeconds = static_cast<double>(runTime.count()) / 1000.0;
    row.counts = library.counts;
    row.seconds = library.seconds;
    row.diagnostics = library.diagnostics;
    if (!row.hasRaw) return row;
    const RunResult raw = RunRawSide(shape, runTime, ProgressSpan{&progress, 0.5, 1});
    if (!raw.failure.empty()) {
        row.hasRaw = false;
        row.skipped = "raw reference: " + raw.failure;
        return row;
    }
    row.rawCounts = raw.counts;
    return row;
}

double PerSecond(std::int64_t count, double seconds) { return seconds > 0 ? static_cast<double>(count) / seconds : 0; }

// "pulled 3 false, 12 wrong; chunked 1 false": the failed calls of a row by kind.
std::string FailuresByKind(const LoadCounts& counts) {
    std::string text;
    for (int kind = 0; kind < kCallKindCount; ++kind) {
        const Tally& tally = counts.byKind[static_cast<std::size_t>(kind)];
        if (tally.failed == 0 && tally.wrong == 0) continue;
        if (!text.empty()) text += "; ";
        text += std::string(CallKindName(static_cast<CallKind>(kind))) + " " + std::to_string(tally.failed) +
                " false, " + std::to_string(tally.wrong) + " wrong (of " +
                std::to_string(tally.right + tally.failed + tally.wrong) + ")";
    }
    return text;
}

std::string Dash(bool present, const std::string& text) { return present ? text : "-"; }

}  // namespace

double LoadRow::CallsPerSecond() const { return PerSecond(counts.rightInTime, runSeconds); }

double LoadRow::RawCallsPerSecond() const { return hasRaw ? PerSecond(rawCounts.rightInTime, runSeconds) : 0; }

double LoadRow::Ratio() const {
    const double raw = RawCallsPerSecond();
    return raw > 0 ? CallsPerSecond() / raw : 0;
}

std::vector<LoadRow> RunLoadRows(std::chrono::milliseconds rowTime, Progress& progress) {
    std::vector<LoadRow> rows;
    for (const Shape& shape : kShapes)
        for (const Workload workload : {Workload::kShort, Workload::kMix})
            rows.push_back(MeasureRow(shape, workload, rowTime, progress));
    return rows;
}

// ---- outputs ---------------------------------------------------------------------------------

void PrintLoadTable(const std::vector<LoadRow>& rows, std::FILE* out) {
    std::fprintf(out, "%-34s %-8s %10s %11s %6s %10s %8s %8s\n", "clients", "workload", "calls/s", "raw calls/s",
                 "ratio", "right", "false", "wrong");
    for (const LoadRow& row : rows) {
        if (!row.skipped.empty()) {
            std::fprintf(out, "%-34s %-8s skipped: %s\n", row.clients.c_str(), WorkloadName(row.workload),
                         row.skipped.c_str());
            continue;
        }
        const Tally total = row.counts.Total();
        std::fprintf(out, "%-34s %-8s %10.0f %11s %6s %10lld %8lld %8lld\n", row.clients.c_str(),
                     WorkloadName(row.workload), row.CallsPerSecond(), Dash(row.hasRaw, Fixed(row.RawCallsPerSecond(), 0)).c_str(),
                     Dash(row.hasRaw, Fixed(row.Ratio(), 2)).c_str(), static_cast<long long>(total.right),
                     static_cast<long long>(total.failed), static_cast<long long>(total.wrong));
    }
    std::fprintf(out, "calls/s: right answers per second of the run (answers after its end are counted in the\n"
                      "columns right, false and wrong only); ratio: calls/s over raw calls/s (above 1: more than raw)\n");
    for (const LoadRow& row : rows) {
        if (!row.skipped.empty()) continue;
        const std::string name = row.clients + ", " + WorkloadName(row.workload);
        const std::string failures = FailuresByKind(row.counts);
        if (!failures.empty()) std::fprintf(out, "note: %s: %s\n", name.c_str(), failures.c_str());
        if (row.diagnostics > 0)
            std::fprintf(out, "note: %s: %lld library diagnostic lines\n", name.c_str(),
                         static_cast<long long>(row.diagnostics));
        const Tally raw = row.rawCounts.Total();
        if (row.hasRaw && raw.failed + raw.wrong > 0)
            std::fprintf(out, "note: %s: raw reference %lld timed out, %lld wrong\n", name.c_str(),
                         static_cast<long long>(raw.failed), static_cast<long long>(raw.wrong));
    }
}

namespace {

std::string JsonTally(const Tally& tally) {
    return "{\"right\": " + std::to_string(tally.right) + ", \"false\": " + std::to_string(tally.failed) +
           ", \"wrong\": " + std::to_string(tally.wrong) + "}";
}

}  // namespace

bool WriteLoadJson(const std::vector<LoadRow>& rows, const std::string& path) {
    std::ofstream file(path);
    file << "[\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LoadRow& row = rows[i];
        file << "  {\"clients\": \"" << JsonEscaped(row.clients) << "\", \"workload\": \"" << WorkloadName(row.workload)
             << "\", ";
        if (!row.skipped.empty()) {
            file << "\"skipped\": \"" << JsonEscaped(row.skipped) << "\"}";
        } else {
            const Tally total = row.counts.Total();
            file << "\"seconds\": " << Fixed(row.runSeconds, 3) << ", \"seconds_until_last_call\": " << Fixed(row.seconds, 3)
                 << ", \"calls_per_s\": " << Fixed(row.CallsPerSecond(), 1)
                 << ", \"raw_calls_per_s\": " << (row.hasRaw ? Fixed(row.RawCallsPerSecond(), 1) : "null")
                 << ", \"ratio\": " << (row.hasRaw ? Fixed(row.Ratio(), 4) : "null") << ", \"right\": " << total.right
                 << ", \"false\": " << total.failed << ", \"wrong\": " << total.wrong << ", \"by_kind\": {";
            for (int kind = 0; kind < kCallKindCount; ++kind)
                file << (kind > 0 ? ", " : "") << '"' << CallKindName(static_cast<CallKind>(kind))
                     << "\": " << JsonTally(row.counts.byKind[static_cast<std::size_t>(kind)]);
            file << "}, \"raw\": " << (row.hasRaw ? JsonTally(row.rawCounts.Total()) : "null")
                 << ", \"diagnostics\": " << row.diagnostics << "}";
        }
        file << (i + 1 < rows.size() ? ",\n" : "\n");
    }
    file << "]\n";
    return static_cast<bool>(file);
}

bool WriteLoadCsv(const std::vector<LoadRow>& rows, const std::string& path) {
    std::ofstream file(path);
    file << "clients,workload,seconds,seconds_until_last_call,calls_per_s,raw_calls_per_s,ratio,right,false,wrong";
    for (int kind = 0; kind < kCallKindCount; ++kind) {
        const std::string name = CallKindName(static_cast<CallKind>(kind));
        file << ',' << name << "_right," << name << "_false," << name << "_wrong";
    }
    file << ",raw_right,raw_false,raw_wrong,diagnostics,skipped\n";
    for (const LoadRow& row : rows) {
        file << CsvField(row.clients) << ',' << WorkloadName(row.workload) << ',';
        if (!row.skipped.empty()) {
            file << ",,,,,,,,,,,,,,,,,,," << CsvField(row.skipped) << '\n';
            continue;
        }
        const Tally total = row.counts.Total();
        file << Fixed(row.runSeconds, 3) << ',' << Fixed(row.seconds, 3) << ',' << Fixed(row.CallsPerSecond(), 1) << ','
             << (row.hasRaw ? Fixed(row.RawCallsPerSecond(), 1) : "") << ',' << (row.hasRaw ? Fixed(row.Ratio(), 4) : "")
             << ',' << total.right << ',' << total.failed << ',' << total.wrong;
        for (const Tally& tally : row.counts.byKind) file << ',' << tally.right << ',' << tally.failed << ',' << tally.wrong;
        const Tally raw = row.rawCounts.Total();
        if (row.hasRaw) {
            file << ',' << raw.right << ',' << raw.failed << ',' << raw.wrong;
        } else {
            file << ",,,";
        }
        file << ',' << row.diagnostics << ",\n";
    }
    return static_cast<bool>(file);
}

// ---- the client process ----------------------------------------------------------------------

int RunLoadClient(const std::vector<std::string>& arguments) {
    if (arguments.size() != 8) return cli::UsageError("bench", "--load-client takes MODE WORKLOAD THREADS MILLIS "
                                                                "EXTENDED_PORT PLAIN_PORT RAW_PORT INDEX");
    const std::string& mode = arguments[0];
    const std::string& workloadName = arguments[1];
    std::string error;
    const auto threads = cli::ParseInteger(arguments[2], 1, kMaxClientThreads, "THREADS", &error);
    const auto millis = cli::ParseInteger(arguments[3], 1, 60000, "MILLIS", &error);
    const auto extendedPort = cli::ParseInteger(arguments[4], 0, 65535, "EXTENDED_PORT", &error);
    const auto plainPort = cli::ParseInteger(arguments[5], 0, 65535, "PLAIN_PORT", &error);
    const auto rawPort = cli::ParseInteger(arguments[6], 0, 65535, "RAW_PORT", &error);
    const auto index = cli::ParseInteger(arguments[7], 0, kClientProcesses - 1, "INDEX", &error);
    if (!threads || !millis || !extendedPort || !plainPort || !rawPort || !index)
        return cli::UsageError("bench", error);
    if ((mode != "library" && mode != "raw") || (workloadName != "short" && workloadName != "mix"))
        return cli::UsageError("bench", "--load-client: MODE is library or raw, WORKLOAD short or mix");
    const Workload workload = workloadName == "short" ? Workload::kShort : Workload::kMix;
    const auto process = static_cast<int>(*index);
    const auto count = static_cast<int>(*threads);
    const std::chrono::milliseconds runTime(*millis);
    ServerPorts ports;
    ports.extended = static_cast<unsigned short>(*extendedPort);
    ports.plain = static_cast<unsigned short>(*plainPort);
    ports.raw = static_cast<unsigned short>(*rawPort);

    // The callers start before READY, so that the run times calls only.
    std::vector<ClientCallers> callers;
    if (mode == "library" && !StartClientCallers(count, ports, &callers)) {
        std::printf("FAILED a client caller did not start\n");
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    if (!WaitForEndOfInput()) return 1;
    const RunResult result =
        mode == "raw" ? RunRawThreads(process, count, ports.raw, runTime, ProgressSpan{})
                      : RunThreads(
                            count,
                            [&](int thread, Clock::time_point deadline) {
                                return RunLibraryThread(callers[static_cast<std::size_t>(thread)].Callers(), workload,
                                                        SeedBase(process, thread), Phase(process, thread), deadline);
                            },
                            runTime, ProgressSpan{});
    std::printf("%s\n", DoneLine(result).c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace bench
