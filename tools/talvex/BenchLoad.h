#pragma once
// The load family of `talvex bench` (--only load): client threads, client processes, or
// threads sharing one caller of each kind call one process's serving callers all at once
// for a fixed time, every answer checked word for word. The short rows run again against
// a raw UDP echo served by one thread, with the same clients: the reference.
#include "BenchHarness.h"
#include "BenchLoadCalls.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// One row of the load table: one way of calling, one workload.
struct LoadRow {
    std::string clients;             // "16 threads", "4 processes x 4 threads", ...
    Workload workload = Workload::kShort;
    double runSeconds = 0;           // how long each side called: the rates count the answers in this time
    double seconds = 0;              // from the start of the library's calls until the last one ended
    LoadCounts counts;
    std::int64_t diagnostics = 0;    // lines the library's diagnostic sink got meanwhile
    bool hasRaw = false;             // short rows: the raw reference ran
    LoadCounts rawCounts;
    std::string skipped;             // not empty: why the row did not run

    double CallsPerSecond() const;      // right answers per second
    double RawCallsPerSecond() const;   // right raw exchanges per second; 0 without the reference
    double Ratio() const;               // CallsPerSecond / RawCallsPerSecond; 0 without the reference
};

constexpr int kLoadRowCount = 10;

// Measures every row one after the other, each side of a row for `rowTime`, against
// fresh serving callers.
std::vector<LoadRow> RunLoadRows(std::chrono::milliseconds rowTime, Progress& progress);

void PrintLoadTable(const std::vector<LoadRow>& rows, std::FILE* out);
bool WriteLoadJson(const std::vector<LoadRow>& rows, const std::string& path);
bool WriteLoadCsv(const std::vector<LoadRow>& rows, const std::string& path);

// The main of a client process, the program re-executed as `talvex bench --load-client
// MODE WORKLOAD THREADS MILLIS EXTENDED_PORT PLAIN_PORT RAW_PORT INDEX`: MODE is library
// or raw. It starts its callers, prints READY, runs its threads for MILLIS once its
// standard input ends, and prints its counts on one DONE line.
int RunLoadClient(const std::vector<std::string>& arguments);

}  // namespace bench
