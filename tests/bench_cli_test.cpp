// `talvex bench --quick --json FILE` as a user runs it: it ends with status 0 and
// its JSON holds every case, each with measured numbers and a ratio (only the
// broadcast and the ONC RPC comparison may be skipped, with their reason).
// No time is asserted: the figures depend on the machine and its load.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace {

// The JSON object (one line) of case `name`, or "" when the file has none.
std::string CaseLine(const std::string& json, const std::string& name) {
    std::istringstream lines(json);
    for (std::string line; std::getline(lines, line);)
        if (line.find("\"case\": \"" + name + "\"") != std::string::npos) return line;
    return "";
}

double NumberField(const std::string& line, const std::string& field) {
    std::smatch match;
    const std::regex pattern("\"" + field + "\": ([0-9.eE+-]+)");
    if (!std::regex_search(line, match, pattern)) return -1;
    return std::stod(match[1]);
}

TEST(BenchCli, QuickRunMeasuresEveryCaseBesideItsReference) {
    const std::string talvex = testsupport::TalvexProgram();
    ASSERT_FALSE(talvex.empty()) << "talvex program not found";
    const std::string json = testing::TempDir() + "bench_cli_test.json";
    std::remove(json.c_str());
    const std::string command = "'" + talvex + "' bench --quick --json '" + json + "' > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);

    std::ifstream file(json);
    std::stringstream content;
    content << file.rdbuf();
    const std::string text = content.str();
    const std::vector<std::string> cases = {
        "call 16 B, threads", "call 16 B, threads, vs ONC RPC", "call 1400 B, threads",
        "call 1400 B, threads, vs ONC RPC", "calls back to back (us per call)", "1 MiB chunked call",
        "1 MiB chunked return", "32767-word pulled return", "call 16 B, processes", "call 1400 B, processes",
        "shared-memory empty call, processes", "shared-memory empty call, processes, vs UDP",
        "chunk cost after 20k chunks", "broadcast, 16 answers in"};
    for (const auto& name : cases) {
        const std::string line = CaseLine(text, name);
        ASSERT_FALSE(line.empty()) << "no result for case " << name;
        const bool mayBeSkipped = name.find("ONC RPC") != std::string::npos || name.rfind("broadcast", 0) == 0;
        if (mayBeSkipped && line.find("\"skipped\"") != std::string::npos) continue;
        // A case ran when it has samples, or trials that failed (a burst may lose chunks under load).
        EXPECT_TRUE(NumberField(line, "median_us") > 0 || NumberField(line, "failures") > 0) << line;
        EXPECT_GE(NumberField(line, "p99_us"), NumberField(line, "median_us")) << line;
        EXPECT_GT(NumberField(line, "reference_median_us"), 0) << line;
        if (NumberField(line, "median_us") > 0) {
            EXPECT_GT(NumberField(line, "ratio"), 0) << line;
        }
        EXPECT_NE(line.find("\"reference\": \""), std::string::npos) << line;
        if (name.find("MiB") != std::string::npos || name.find("return") != std::string::npos) {
            EXPECT_GE(NumberField(line, "mb_per_s"), 0) << line;
        }
    }
    std::remove(json.c_str());
}

}  // namespace
