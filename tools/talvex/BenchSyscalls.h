#pragma once
// The system calls of one one-packet call, counted by `talvex bench` itself: a 16-byte
// CallProcedure from a client caller to a server caller (both peers threads of this
// process) beside a raw UDP ping-pong of the same datagram size (client and echo thread
// of this process), in steady state. The counts come from perf_event_open counters on
// the raw_syscalls:sys_enter tracepoint, one for all system calls and one per known
// system call (a tracepoint filter on its number), each inherited by every thread
// started after it. Where the counters are refused, scripts/syscalls-per-call.sh counts
// the same calls under strace, running the loops of RunSyscallLoop.
#include "BenchHarness.h"

#include <string>
#include <utility>
#include <vector>

namespace bench {

// System calls per call of one side.
struct SyscallTally {
    double total = 0;
    std::vector<std::pair<std::string, double>> byName;   // the known system calls that occurred, most first
    double other = 0;                                       // total minus the known ones
    bool hasBreakdown = false;                              // false: only the total was counted
    double contextSwitches = -1;                            // of every counted thread; < 0: not counted
    std::size_t failures = 0;                               // calls (round trips) that failed while counting
};

// The library's call beside the raw ping-pong.
struct SyscallRow {
    std::string name;
    std::string reference;
    std::string method;     // how the counts were taken
    int calls = 0;          // counted calls (round trips) of each side
    int warmUp = 0;         // calls (round trips) of each side before counting
    SyscallTally measured;
    SyscallTally referenceTally;
    std::string skipped;    // not empty: why nothing was counted

    double Ratio() const;   // measured total over reference total
};

// Counts `calls` calls of each side after a warm-up (the default: 5000, 1000 with quick).
void RunSyscallCase(int calls, Progress& progress, std::vector<SyscallRow>* rows);
constexpr int kSyscallCaseCount = 1;

void PrintSyscallTable(const std::vector<SyscallRow>& rows, std::FILE* out);
// The rows as JSON objects, for the array of WriteJson.
std::vector<std::string> SyscallJsonObjects(const std::vector<SyscallRow>& rows);

// The loop that scripts/syscalls-per-call.sh runs under strace: starts one side (the
// library's caller pair, or the raw echo and client when `raw`), makes 200 unmeasured
// calls and then `calls` calls; prints one line with the count and the failures.
// 0 when every call succeeded.
int RunSyscallLoop(bool raw, int calls);

}  // namespace bench
