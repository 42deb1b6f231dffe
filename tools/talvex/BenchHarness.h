#pragma once
// The measuring frame of `talvex bench`: samples and their summary (median and 99th
// percentile), interleaved trials of a case beside its reference, the progress line
// on standard error, and the table, JSON and CSV outputs of the results.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace bench {

using Clock = std::chrono::steady_clock;

// Microseconds from `start` until now.
double MicrosSince(Clock::time_point start);

// ---- one CPU for every thread (--pin) -------------------------------------------------

// Puts the calling process on CPU `cpu` alone (sched_setaffinity of the calling thread,
// which every thread and process started afterwards inherits) and remembers it for the
// second processes of the run. Call it before any thread starts. False with a reason when
// `cpu` is not one of the CPUs this process may run on or the system refused.
bool PinToCpu(int cpu, std::string* why);
// The CPU the run was pinned to, or nothing.
std::optional<int> PinnedCpu();
// What the second processes of the run get on their command lines to run as this one
// does: {"--pin", "N"} when pinned, and the library's socket spin.
std::vector<std::string> SecondProcessArguments();

// Median and 99th percentile of the successful samples, and how many trials failed.
struct Summary {
    double median = 0;
    double p99 = 0;
    std::size_t samples = 0;
    std::size_t failures = 0;
};
Summary Summarise(std::vector<double> micros, std::size_t failures);

// An upper bound on a case's ratio (measured time over reference time).
struct Goal {
    double maxRatio = 0;
    std::string text;   // the goal as a reader states it, e.g. ">= 60% of raw throughput"
};

// One row of the results: a figure of the library beside its reference, measured in one run.
struct CaseResult {
    std::string name;
    std::string reference;
    Summary measured;
    Summary referenceSummary;
    double bytesPerTrial = 0;            // > 0 for transfers: MB/s are derived from it
    std::optional<Goal> goal;
    std::string skipped;                 // not empty: why the case did not run
    std::string note;                    // extra figure printed below the table

    double Ratio() const;                // measured median / reference median (time over time)
    double MegabytesPerSecond(const Summary& summary) const;
    bool GoalMet() const;
};

// One timed trial: its duration in microseconds, or nothing when it failed.
using Trial = std::function<std::optional<double>()>;

// The progress line on standard error: "[bench 3/14] case name  42%", redrawn at most every 100 ms
// when standard error is a terminal; otherwise one plain line per case. A progress of 0 cases
// draws nothing.
class Progress {
public:
    explicit Progress(int caseCount) : m_caseCount(caseCount), m_toTerminal(::isatty(STDERR_FILENO) == 1) {}
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void BeginCase(const std::string& name);
    void Advance(double fraction);   // 0..1 of the current case
    void Finish();

private:
    void Draw(double fraction);
    int m_caseCount;
    bool m_toTerminal;
    int m_caseIndex = 0;
    std::string m_name;
    Clock::time_point m_lastDraw{};
    bool m_drawn = false;
};

// How many trials to take: `rounds` rounds of `perRound` trials of each side, after
// `warmUp` discarded trials of each; no new round starts once `budget` has passed.
struct TrialPlan {
    int rounds = 10;
    int perRound = 100;
    int warmUp = 20;
    std::chrono::milliseconds budget{20000};
};

// Runs `measured` and `reference` alternately in rounds, so that both see the same
// load of the machine, and summarises each side's samples.
void MeasureInterleaved(const Trial& measured, const Trial& reference, const TrialPlan& plan, Progress& progress,
                        Summary* measuredSummary, Summary* referenceSummary);

// One case measured against its reference (interleaved), named for the table.
CaseResult PairedCase(const std::string& name, const std::string& reference, const Trial& measured,
                      const Trial& referenceTrial, const TrialPlan& plan, Progress& progress);

void PrintTable(const std::vector<CaseResult>& results, std::FILE* out);
// Helpers of the outputs: a number with `decimals` decimals, text fit for a JSON string, a CSV field.
std::string Fixed(double value, int decimals);
std::string JsonEscaped(const std::string& text);
std::string CsvField(const std::string& text);
// `extraObjects`: JSON objects of other kinds of rows, appended to the array as they are.
bool WriteJson(const std::vector<CaseResult>& results, const std::string& path,
               const std::vector<std::string>& extraObjects = {});
bool WriteCsv(const std::vector<CaseResult>& results, const std::string& path);

}  // namespace bench
