// talvex: serve, call and inspect Talvex05u peers from the command line.
#include "Commands.h"
#include "ToolDefaults.h"

#include <clocale>
#include <cstdio>
#include <cstring>

namespace {

struct Subcommand {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
};

constexpr Subcommand kSubcommands[] = {
    {"serve", RunServe, "serve echo (1) and count (2) on a UDP port until SIGINT/SIGTERM"},
    {"call", RunCall, "call a procedure on a peer and print the answer"},
    {"event", RunEvent, "send a one-way event to a peer"},
    {"ping", RunPing, "ping a peer and print round-trip times"},
    {"broadcast", RunBroadcast, "broadcast a call and print every answer"},
    {"demo", RunDemo, "show what the library does, on this computer"},
    {"trace-viewer", RunTraceViewer, "print the trace lines of debug streams"},
    {"bench", RunBench, "measure calls and transfers against raw baselines"},
    {"stat", RunStat, "show the counters of running callers of this user"},
};

void PrintUsage(FILE* out) {
    std::fprintf(out, "usage: talvex <command> [options]   (talvex <command> --help for details)\n"
                      "       talvex --version\n\ncommands:\n");
    for (const auto& c : kSubcommands) std::fprintf(out, "  %-13s %s\n", c.name, c.summary);
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");
    if (argc < 2) {
        PrintUsage(stderr);
        return 2;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "help") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0) {
        std::printf("talvex %s\n", talvex::tools::kVersion);
        return 0;
    }
    for (const auto& c : kSubcommands) {
        if (std::strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "talvex: unknown command '%s'\n", argv[1]);
    PrintUsage(stderr);
    return 2;
}
