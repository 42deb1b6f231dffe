// The `talvex trace-viewer` program with real debug streams and raw connections:
// names and lines printed, several streams at once, bounded lines, exit codes.
#include "talvex05u/support/RPCDebugStream.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A running viewer on a port the system chose; every line it printed is kept.
class RunningViewer {
public:
    RunningViewer() : m_child(testsupport::TalvexProgram(), {"trace-viewer", "--port", "0"}) {
        std::string line;
        if (m_child.ReadLine(&line, 5000ms) && Contains(line, "listening on 127.0.0.1:"))
            m_port = static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
    std::uint16_t Port() const { return m_port; }
    // True once a line holding `part` was printed (lines of several streams come in any order).
    bool WaitForLine(const std::string& part, std::chrono::milliseconds timeout = 5000ms) {
        if (std::any_of(m_seen.begin(), m_seen.end(), [&](const std::string& line) { return Contains(line, part); })) return true;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (int i = 0; i < 10000; ++i) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string line;
            if (left.count() <= 0 || !m_child.ReadLine(&line, left)) return false;
            m_seen.push_back(line);
            if (Contains(line, part)) return true;
        }
        return false;
    }
    int Stop(int signalNumber) {
        m_child.Signal(signalNumber);
        return m_child.Wait(5000ms);
    }
    std::vector<std::string> m_seen;

private:
    ChildProcess m_child;
    std::uint16_t m_port = 0;
};

// A blocking send queues all of `data` (nothing here interrupts it with a signal handler).
bool SendAll(const testsupport::Fd& fd, const std::string& data) {
    return ::send(fd.Get(), data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

class TraceViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::TalvexProgram().empty()) GTEST_SKIP() << "the talvex program is not built";
    }
};

TEST_F(TraceViewerTest, PrintsTheLinesOfTwoStreamsWithTheirNamesAndEndsWithZeroOnSigterm) {
    RunningViewer viewer;
    ASSERT_NE(viewer.Port(), 0);
    auto one = std::make_unique<CRPCDebugStream>(0x1234, "alpha", "beta");
    auto two = std::make_unique<CRPCDebugStream>(5, "gamma", "delta");
    for (CRPCDebugStream* stream : {one.get(), two.get()}) {
        stream->SetViewerPort(viewer.Port());
        ASSERT_EQ(stream->AddTrace("main", "m"), 0);
        stream->Start();
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] { return one->GetState() == 2 && two->GetState() == 2; }, 5000ms));
    one->Trace(0, "hello from %s", "one");
    two->Trace(0, "number %d", 42);
    ASSERT_TRUE(viewer.WaitForLine("alpha/beta [1234] hello from one") && viewer.WaitForLine("gamma/delta [0005] number 42"));
    two.reset();
    ASSERT_TRUE(viewer.WaitForLine("gamma/delta [0005] disconnected"));
    one->Trace(0, "still here");
    ASSERT_TRUE(viewer.WaitForLine("alpha/beta [1234] still here"));
    EXPECT_EQ(std::count_if(viewer.m_seen.begin(), viewer.m_seen.end(),
                            [](const std::string& line) { return Contains(line, "connected from 127.0.0.1:"); }),
              2);
    EXPECT_EQ(viewer.Stop(SIGTERM), 0);
}

// Raw clients: a half line kept apart from another connection's over-long line, which
// is cut; then the exit codes of bad arguments, --help and a port taken by this viewer.
TEST_F(TraceViewerTest, CutsOverlongLinesKeepsHalfLinesPerConnectionAndExitCodes) {
    RunningViewer viewer;
    ASSERT_NE(viewer.Port(), 0);
    testsupport::Fd half = testsupport::ConnectLoopback(viewer.Port()), raw = testsupport::ConnectLoopback(viewer.Port());
    ASSERT_TRUE(SendAll(half, "s1\tpart\t1001\r\nbegin-1"));
    ASSERT_TRUE(viewer.WaitForLine("s1/part"));
    ASSERT_TRUE(SendAll(raw, "raw\tclient\t00FF\r\n" + std::string(200000, 'x') +
                                 "\r\nafter the long one\r\nctl\x1b" + "char\r\n"));
    ASSERT_TRUE(viewer.WaitForLine("raw/client [00FF] ctl?char"));
    ASSERT_TRUE(SendAll(half, "-end\r\n"));
    EXPECT_TRUE(viewer.WaitForLine("s1/part [1001] begin-1-end"));
    EXPECT_TRUE(viewer.WaitForLine("raw/client [00FF] after the long one"));
    EXPECT_TRUE(viewer.WaitForLine("[cut]"));
    for (const std::string& line : viewer.m_seen) EXPECT_LT(line.size(), 70000u);
    raw.Reset();
    ASSERT_TRUE(viewer.WaitForLine("raw/client [00FF] disconnected"));

    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"--bogus"}, 2},       {{"--port"}, 2},     {{"--port", "70000"}, 2}, {{"--port", "-1"}, 2},
        {{"--port=12x"}, 2},    {{"--help"}, 0},     {{"--port", std::to_string(viewer.Port())}, 1},
    };
    for (const auto& [arguments, exitCode] : cases) {
        std::vector<std::string> args{"trace-viewer"};
        args.insert(args.end(), arguments.begin(), arguments.end());
        ChildProcess child(testsupport::TalvexProgram(), args);
        EXPECT_EQ(child.Wait(5000ms), exitCode) << arguments.back();
    }
    EXPECT_EQ(viewer.Stop(SIGINT), 0);
}

}  // namespace
