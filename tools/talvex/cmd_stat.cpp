// talvex stat: shows the counters that processes of this user publish, once or
// redrawn every MS milliseconds, as a table, JSON lines or Prometheus text.
#include "Commands.h"
#include "Options.h"
#include "StatRender.h"

#include "caller/CounterPage.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr const char* kCommand = "stat";

void PrintHelp() {
    std::printf(
        "usage: talvex stat [PID...] [--watch MS [--count N]] [--json | --prometheus]\n"
        "\n"
        "Shows the counters of every caller of the processes of this user that publish\n"
        "them (talvex serve does by default; a program calls talvex::PublishCounters), or\n"
        "of the processes PID... only. Pages of processes that died are removed.\n"
        "Exit 1 when no process publishes, or a PID given has no readable page.\n"
        "\n"
        "  --watch MS      show them again every MS milliseconds, with per-second rates\n"
        "  --count N       with --watch: stop after N refreshes (default: until SIGINT)\n"
        "  --json          one JSON object per caller and refresh, one per line\n"
        "  --prometheus    the Prometheus text format (talvex_<counter>_total{pid,port,peer})\n");
}

enum class Format { kTable, kJson, kPrometheus };

struct StatSettings {
    std::vector<int> pids;   // empty: every publishing process
    std::int64_t watchMs = 0;
    std::int64_t count = 0;   // 0: until stopped
    Format format = Format::kTable;
};

// The pages to show, read now; false when one of them could not be read.
bool ReadPages(const StatSettings& settings, std::vector<talvex::PublishedProcess>* processes) {
    talvex::RemoveStaleCounterPages();
    const bool named = !settings.pids.empty();
    bool complete = true;
    for (const int pid : named ? settings.pids : talvex::ListCounterPages()) {
        std::string why;
        if (auto process = talvex::ReadCounterPage(pid, &why)) {
            processes->push_back(std::move(*process));
        } else {
            std::fprintf(stderr, "talvex stat: pid %d: %s\n", pid, why.c_str());
            complete = false;
        }
    }
    return complete && (named || !processes->empty());
}

void Show(const StatSettings& settings, const std::vector<talvex::PublishedProcess>& processes,
          const cli::StatHistory* history) {
    switch (settings.format) {
    case Format::kTable: cli::PrintTable(processes, history); break;
    case Format::kJson: cli::PrintJson(processes, history); break;
    case Format::kPrometheus: cli::PrintPrometheus(processes); break;
    }
}

int Stat(const StatSettings& settings) {
    cli::StatHistory history;
    bool allRead = true;
    for (std::int64_t round = 0; settings.count == 0 || round < settings.count; ++round) {
        if (round > 0) std::this_thread::sleep_for(std::chrono::milliseconds(settings.watchMs));
        std::vector<talvex::PublishedProcess> processes;
        allRead = ReadPages(settings, &processes);
        if (round == 0 && processes.empty() && settings.pids.empty())
            std::fprintf(stderr, "talvex stat: no process of this user publishes counters\n");
        if (settings.watchMs > 0 && settings.format == Format::kTable) std::printf("\n");
        Show(settings, processes, settings.watchMs > 0 ? &history : nullptr);
        history.Remember(processes);
        if (settings.watchMs == 0) break;
    }
    return allRead ? cli::kExitDone : cli::kExitNoAnswer;
}

}  // namespace

int RunStat(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(
        argc, argv, {{"watch", true}, {"count", true}, {"json", false}, {"prometheus", false}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    StatSettings settings;
    for (const auto& text : options->positionals) {
        auto pid = cli::ParseInteger(text, 1, 0x3FFFFFFF, "PID", &error);
        if (!pid) return cli::UsageError(kCommand, error);
        settings.pids.push_back(static_cast<int>(*pid));
    }
    if (options->Has("json") && options->Has("prometheus"))
        return cli::UsageError(kCommand, "--json and --prometheus exclude each other");
    if (options->Has("json")) settings.format = Format::kJson;
    if (options->Has("prometheus")) settings.format = Format::kPrometheus;
    if (options->Has("watch")) {
        auto watch = cli::ParseInteger(options->Get("watch"), 10, 86400000, "--watch", &error);
        if (!watch) return cli::UsageError(kCommand, error);
        settings.watchMs = *watch;
    }
    if (options->Has("count")) {
        if (settings.watchMs == 0) return cli::UsageError(kCommand, "--count needs --watch MS");
        auto count = cli::ParseInteger(options->Get("count"), 1, 1000000000, "--count", &error);
        if (!count) return cli::UsageError(kCommand, error);
        settings.count = *count;
    }
    return Stat(settings);
}
