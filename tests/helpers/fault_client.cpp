// The calling side of a lossy-wire run in a process of its own, so that several
// such processes, each with its own reference counter starting at 1, call one server
// at the same time.
// Usage: fault_client <extended port> <plain port or 0> <calls> <seed> <tag 1..127>
//                     <fail on lost return chunks 0|1> <mixed|chunked-calls>
// Prints "READY" once its callers run, starts calling once its standard input ends
// (the parent closes it when every client is ready), then prints "WRONG <what came>"
// for the first wrong answers and last "OUTCOMES <counts>".
// Or: fault_client mutual <peer port> <milliseconds> <first reference number>
// serves the peer and calls it (faultload::CallEachOther); prints "READY <own port>"
// first and begins, and reports, as above.
#include "fault_workload.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void AwaitStart() {
    std::fflush(stdout);
    while (std::getchar() != EOF) continue;   // the parent closes our input: begin
}

int CallEachOther(char** argv) {
    auto caller = faultload::CallingEachOther(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (!caller) return 3;
    std::printf("READY %u\n", caller->GetMyUDPPort());
    AwaitStart();
    const faultload::Tally tally = faultload::CallEachOther(*caller, 2, std::atoi(argv[4]), std::chrono::milliseconds(std::atoi(argv[3])));
    for (const std::string& line : tally.wrongAnswers) std::printf("WRONG %s\n", line.c_str());
    std::printf("OUTCOMES %s\n", faultload::FormatOutcomes(tally.outcomes).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "mutual") return CallEachOther(argv);
    if (argc != 8) return 2;   // see Usage above
    faultload::Settings settings;
    const auto exPort = static_cast<std::uint16_t>(std::atoi(argv[1]));
    const auto plainPort = static_cast<std::uint16_t>(std::atoi(argv[2]));
    settings.calls = std::atoi(argv[3]);
    settings.seed = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));
    settings.tag = std::atoi(argv[5]);
    settings.failOnLostReturnChunks = std::atoi(argv[6]) != 0;
    settings.chunkedCallsOnly = std::string(argv[7]) == "chunked-calls";
    faultload::ClientWorkload workload(settings);
    if (!workload.Start(exPort, plainPort)) {
        std::fprintf(stderr, "fault_client: a client did not start\n");
        return 3;
    }
    std::printf("READY\n");
    AwaitStart();
    workload.Run();
    for (const std::string& line : workload.WrongAnswers()) std::printf("WRONG %s\n", line.c_str());
    std::printf("OUTCOMES %s\n", faultload::FormatOutcomes(workload.Overall()).c_str());
    return 0;
}
