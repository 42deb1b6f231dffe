// The `talvex trace-viewer` program with real debug streams and raw connections:
// names and lines printed, several streams at once, bounded lines, exit codes.
#include "talvex05u/support/RPCDebugStream.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

// The talvex program: from the test environment, else beside this build's tests directory.
std::string ViewerProgram() {
    std::string program = testsupport::TalvexProgram();
    if (!program.empty()) return program;
    char self[4096];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    std::string directory(self, static_cast<std::size_t>(length));
    directory.erase(directory.rfind('/'));
    std::string candidate = directory + "/../tools/talvex/talvex";
    return ::access(candidate.c_str(), X_OK) == 0 ? candidate : "";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A running viewer on a port the system chose, read line by line.
class RunningViewer {
public:
    RunningViewer() : m_child(ViewerProgram(), {"trace-viewer", "--port", "0"}) {
        std::string line;
        if (!m_child.ReadLine(&line, 5000ms)) return;
        auto colon = line.rfind(':');
        if (Contains(line, "listening on 127.0.0.1:") && colon != std::string::npos) {
            m_port = static_cast<std::uint16_t>(std::stoi(line.substr(colon + 1)));
        }
    }
    std::uint16_t Port() const { return m_port; }
    ChildProcess& Child() { return m_child; }
    // True once a line containing `part` was printed (lines of several streams may come
    // in any order, so lines read earlier count too); every line read is kept in Seen().
    bool WaitForLine(const std::string& part, std::chrono::milliseconds timeout = 5000ms) {
        for (const std::string& line : m_seen) {
            if (Contains(line, part)) return true;
        }
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (int i = 0; i < 10000; ++i) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            std::string line;
            if (left.count() <= 0 || !m_child.ReadLine(&line, left)) return false;
            m_seen.push_back(line);
            if (Contains(line, part)) return true;
        }
        return false;
    }
    const std::vector<std::string>& Seen() const { return m_seen; }

private:
    ChildProcess m_child;
    std::uint16_t m_port = 0;
    std::vector<std::string> m_seen;
};

// A raw TCP client to the viewer, for bytes a stream would never send.
int ConnectTo(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

class TraceViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (ViewerProgram().empty()) GTEST_SKIP() << "the talvex program is not built";
    }
};

TEST_F(TraceViewerTest, PrintsTheLinesOfTwoStreamsWithTheirNames) {
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
    ASSERT_TRUE(viewer.WaitForLine("alpha/beta [1234] hello from one"));
    ASSERT_TRUE(viewer.WaitForLine("gamma/delta [0005] number 42"));
    two.reset();
    ASSERT_TRUE(viewer.WaitForLine("gamma/delta [0005] disconnected"));
    one->Trace(0, "still here");
    ASSERT_TRUE(viewer.WaitForLine("alpha/beta [1234] still here"));

    int connectedLines = 0;
    for (const std::string& line : viewer.Seen()) {
        if (Contains(line, "connected from 127.0.0.1:")) ++connectedLines;
    }
    EXPECT_EQ(connectedLines, 2);
    viewer.Child().Signal(SIGTERM);
    EXPECT_EQ(viewer.Child().Wait(5000ms), 0);
}

TEST_F(TraceViewerTest, CutsOverlongLinesAndKeepsServing) {
    RunningViewer viewer;
    ASSERT_NE(viewer.Port(), 0);
    int fd = ConnectTo(viewer.Port());
    ASSERT_GE(fd, 0);
    std::string data = "raw\tclient\t00FF\r\n" + std::string(200000, 'x') + "\r\nafter the long one\r\nctl\x1b" + "char\r\n";
    ASSERT_TRUE(SendAll(fd, data));
    ASSERT_TRUE(viewer.WaitForLine("raw/client [00FF] after the long one"));
    std::size_t longest = 0;
    bool cutMarked = false;
    for (const std::string& line : viewer.Seen()) {
        longest = std::max(longest, line.size());
        cutMarked = cutMarked || Contains(line, "[cut]");
    }
    EXPECT_TRUE(cutMarked);
    EXPECT_LT(longest, 70000u);
    ASSERT_TRUE(viewer.WaitForLine("raw/client [00FF] ctl?char"));
    ::close(fd);
    ASSERT_TRUE(viewer.WaitForLine("raw/client [00FF] disconnected"));
    viewer.Child().Signal(SIGINT);
    EXPECT_EQ(viewer.Child().Wait(5000ms), 0);
}

TEST_F(TraceViewerTest, KeepsHalfLinesApartPerConnection) {
    RunningViewer viewer;
    ASSERT_NE(viewer.Port(), 0);
    constexpr int kStreams = 20;
    std::vector<int> fds;
    for (int i = 0; i < kStreams; ++i) {
        fds.push_back(ConnectTo(viewer.Port()));
        ASSERT_GE(fds.back(), 0);
        ASSERT_TRUE(SendAll(fds.back(), "s" + std::to_string(i) + "\tpart\t" + std::to_string(1000 + i) + "\r\nbegin-" +
                                             std::to_string(i)));
    }
    ASSERT_TRUE(viewer.WaitForLine("s" + std::to_string(kStreams - 1) + "/part"));   // the halves were read
    for (int i = kStreams - 1; i >= 0; --i) ASSERT_TRUE(SendAll(fds[i], "-end\r\n"));
    for (int i = 0; i < kStreams; ++i) {
        std::string expected = "s" + std::to_string(i) + "/part [" + std::to_string(1000 + i) + "] begin-" +
                               std::to_string(i) + "-end";
        EXPECT_TRUE(viewer.WaitForLine(expected)) << expected;
    }
    for (int fd : fds) ::close(fd);
    viewer.Child().Signal(SIGTERM);
    EXPECT_EQ(viewer.Child().Wait(5000ms), 0);
}

TEST_F(TraceViewerTest, AConnectionClosedBeforeItsHeaderIsReported) {
    RunningViewer viewer;
    ASSERT_NE(viewer.Port(), 0);
    int fd = ConnectTo(viewer.Port());
    ASSERT_GE(fd, 0);
    ::close(fd);
    EXPECT_TRUE(viewer.WaitForLine("disconnected before its header line"));
    viewer.Child().Signal(SIGTERM);
    EXPECT_EQ(viewer.Child().Wait(5000ms), 0);
}

struct UsageCase {
    std::vector<std::string> arguments;
    int exitCode;
};

TEST_F(TraceViewerTest, CommandLineGivesTheRightExitCodes) {
    const UsageCase cases[] = {
        {{"trace-viewer", "--bogus"}, 2},     {{"trace-viewer", "--port"}, 2},
        {{"trace-viewer", "--port", "70000"}, 2}, {{"trace-viewer", "--port", "-1"}, 2},
        {{"trace-viewer", "--port=12x"}, 2},  {{"trace-viewer", "--help"}, 0},
    };
    for (const UsageCase& usage : cases) {
        ChildProcess child(ViewerProgram(), usage.arguments);
        EXPECT_EQ(child.Wait(5000ms), usage.exitCode) << usage.arguments.back();
    }
}

TEST_F(TraceViewerTest, PortTakenExitsWithOne) {
    RunningViewer first;
    ASSERT_NE(first.Port(), 0);
    ChildProcess second(ViewerProgram(), {"trace-viewer", "--port", std::to_string(first.Port())});
    EXPECT_EQ(second.Wait(5000ms), 1);
}

}  // namespace
