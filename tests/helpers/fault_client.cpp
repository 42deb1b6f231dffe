// The calling side of a lossy-wire run in a process of its own, so that several
// such processes, each with its own reference counter starting at 1, call one server
// at the same time.
// Usage: fault_client <extended port> <plain port or 0> <calls> <seed> <tag 1..127>
//                     <fail on lost return chunks 0|1> <mixed|chunked-calls> <go file>
// Prints "READY" once its callers run, starts calling at the moment that <go file>
// names (waits at most 30 s for the file), then prints "KIND <name> <counts>" for every kind it called, "WRONG
// <what came>" for the first wrong answers, and last "OUTCOMES <counts>".
#include "fault_workload.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

// Waits (at most `most`) for the go file, then until the moment written in it: a
// steady-clock count of nanoseconds, which every process of the machine reads alike,
// so that all clients begin their first call within microseconds of each other.
bool WaitForStart(const char* path, std::chrono::seconds most) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + most;
    long long startNanoseconds = 0;
    for (;;) {
        std::ifstream go(path);
        if (go >> startNanoseconds) break;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const Clock::time_point start{std::chrono::nanoseconds(startNanoseconds)};
    std::this_thread::sleep_until(std::min(start, Clock::now() + std::chrono::seconds(5)));
    return true;
}

void PrintResults(const faultload::ClientWorkload& workload) {
    using faultload::Kind;
    for (Kind kind : {Kind::OnePacket, Kind::Pulled, Kind::ChunkedCall, Kind::ChunkedReturn})
        if (workload.Used(kind))
            std::printf("KIND %s %s\n", faultload::KindName(kind), faultload::FormatOutcomes(workload.Of(kind)).c_str());
    for (const std::string& line : workload.WrongAnswers()) std::printf("WRONG %s\n", line.c_str());
    std::printf("OUTCOMES %s\n", faultload::FormatOutcomes(workload.Overall()).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: fault_client <extended port> <plain port or 0> <calls> <seed> <tag 1..127> "
                             "<fail on lost return chunks 0|1> <mixed|chunked-calls> <go file>\n");
        return 2;
    }
    faultload::Settings settings;
    const auto exPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const auto plainPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
    settings.calls = std::atoi(argv[3]);
    settings.seed = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    settings.tag = std::atoi(argv[5]);
    settings.failOnLostReturnChunks = std::atoi(argv[6]) != 0;
    settings.chunkedCallsOnly = std::string(argv[7]) == "chunked-calls";
    if (exPort == 0 || settings.calls < 1 || settings.calls > 100000 || settings.tag < 1 || settings.tag > 127) {
        std::fprintf(stderr, "fault_client: port, call count (1..100000) or tag (1..127) out of range\n");
        return 2;
    }

    faultload::ClientWorkload workload(settings);
    if (!workload.Start(exPort, plainPort)) {
        std::fprintf(stderr, "fault_client: a client did not start\n");
        return 3;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    if (!WaitForStart(argv[8], std::chrono::seconds(30))) {
        std::fprintf(stderr, "fault_client: no go file\n");
        return 4;
    }
    workload.Run();
    PrintResults(workload);
    return 0;
}
