// Every saved fuzz input (fuzz/corpus/<target>/ and the regression inputs in
// tests/data/<target>_fuzz/) through the entry point of its fuzz target, built into
// this program without the fuzzer (tests/CMakeLists.txt renames each entry point).
// A target's failed check aborts the program.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#define TALVEX_FUZZ_ENTRY(name) extern "C" int FuzzReplay_##name(const std::uint8_t* data, std::size_t size);
TALVEX_FUZZ_ENTRY(datablock)
TALVEX_FUZZ_ENTRY(dispatcher)
TALVEX_FUZZ_ENTRY(http_reader)
TALVEX_FUZZ_ENTRY(string_conversions)

namespace {

struct Target {
    const char* name;
    int (*entry)(const std::uint8_t*, std::size_t);
};

class FuzzReplay : public testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, EverySavedInputPassesTheTargetsChecks) {
    const std::string name = GetParam().name;
    const std::filesystem::path root = TALVEX_SOURCE_DIR;
    EXPECT_EQ(0, GetParam().entry(nullptr, 0));
    int inputs = 0;
    for (const auto& dir : {root / "fuzz" / "corpus" / name, root / "tests" / "data" / (name + "_fuzz")}) {
        if (!std::filesystem::is_directory(dir)) continue;
        for (const auto& file : std::filesystem::directory_iterator(dir)) {
            SCOPED_TRACE(file.path().string());
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            EXPECT_EQ(0, GetParam().entry(bytes.data(), bytes.size()));
            ++inputs;
        }
    }
    std::cout << name << ": " << inputs << " saved inputs replayed\n";
    EXPECT_GT(inputs, 0) << "no saved inputs for " << name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         testing::Values(Target{"datablock", FuzzReplay_datablock}, Target{"dispatcher", FuzzReplay_dispatcher},
                                         Target{"http_reader", FuzzReplay_http_reader},
                                         Target{"string_conversions", FuzzReplay_string_conversions}),
                         [](const testing::TestParamInfo<Target>& target) { return std::string(target.param.name); });

}  // namespace
