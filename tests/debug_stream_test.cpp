// CRPCDebugStream against a real TCP listener in the test: header lines, traced
// lines, reconnection, limits, and ending while connecting or tracing.
#include "talvex05u/support/RPCDebugStream.h"
#include "support/test_support.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::WaitUntil;

// A loopback TCP socket owned by the test; closed by its destructor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        Reset();
        m_fd = other.m_fd;
        other.m_fd = -1;
        return *this;
    }
    int Get() const { return m_fd; }
    void Reset() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

std::uint16_t LocalPort(int fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A TCP socket bound to 127.0.0.1 on a port the system chose; listening when backlog >= 0.
Fd BoundSocket(int backlog) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (backlog >= 0) {
        EXPECT_EQ(::listen(fd.Get(), backlog), 0);
    }
    return fd;
}

// One accepted stream connection and the bytes read from it so far.
class ViewerConnection {
public:
    explicit ViewerConnection(Fd fd) : m_fd(std::move(fd)) {}
    bool Valid() const { return m_fd.Get() >= 0; }
    // The next line including its CR LF; "" on time-out or when the stream closed.
    std::string ReadLine(std::chrono::milliseconds timeout = 3000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto end = m_buffer.find("\r\n");
            if (end != std::string::npos) {
                std::string line = m_buffer.substr(0, end + 2);
                m_buffer.erase(0, end + 2);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !Valid()) return "";
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(m_fd.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return "";
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // True when nothing (more) arrives within `quiet`.
    bool NothingArrives(std::chrono::milliseconds quiet) {
        if (!m_buffer.empty()) return false;
        pollfd p{m_fd.Get(), POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(quiet.count())) == 0;
    }
    void Close() { m_fd.Reset(); }

private:
    Fd m_fd;
    std::string m_buffer;
};

// The test's trace viewer: a real listener on a free loopback port.
class TestViewer {
public:
    TestViewer() : m_listener(BoundSocket(16)) {}
    std::uint16_t Port() const { return LocalPort(m_listener.Get()); }
    ViewerConnection Accept(std::chrono::milliseconds timeout = 3000ms) {
        pollfd p{m_listener.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return ViewerConnection(Fd());
        return ViewerConnection(Fd(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
    }

private:
    Fd m_listener;
};

std::unique_ptr<CRPCDebugStream> StreamFor(const TestViewer& viewer, unsigned short id = 26,
                                           const char* first = "alpha", const char* second = "beta") {
    auto stream = std::make_unique<CRPCDebugStream>(id, first, second);
    stream->SetViewerPort(viewer.Port());
    return stream;
}

bool WaitConnected(CRPCDebugStream& stream) {
    return WaitUntil([&] { return stream.GetState() == 2; }, 3000ms);
}

TEST(DebugStreamTest, AddTraceFillsThirtyTwoEntriesThenRefuses) {
    CRPCDebugStream stream(1, "a", "b");
    for (std::int32_t i = 0; i < 32; ++i) EXPECT_EQ(stream.AddTrace("name", "text"), i);
    EXPECT_EQ(stream.AddTrace("thirty-third", "x"), -1);
    EXPECT_EQ(stream.m_nTraceCount, 32);
    EXPECT_STREQ(stream.m_Traces[31].name, "name");
}

TEST(DebugStreamTest, OverlongNamesAndTextsAreCut) {
    const std::string longName(100, 'n');
    CRPCDebugStream stream(1, longName.c_str(), nullptr);
    EXPECT_EQ(std::strlen(stream.m_szFirstName), 63u);
    EXPECT_STREQ(stream.m_szSecondName, "");
    ASSERT_EQ(stream.AddTrace(longName.c_str(), "seventeen chars!!"), 0);
    EXPECT_EQ(std::string(stream.m_Traces[0].name), std::string(63, 'n'));
    EXPECT_STREQ(stream.m_Traces[0].text, "seventeen chars!");
    ASSERT_EQ(stream.AddTrace("short", "exactly16chars!!"), 1);
    EXPECT_STREQ(stream.m_Traces[1].text, "exactly16chars!!");
}

struct HeaderCase {
    unsigned short identifier;
    const char* expected;
};

class DebugStreamHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(DebugStreamHeaderTest, HeaderLineThenOneTracedLine) {
    TestViewer viewer;
    auto stream = StreamFor(viewer, GetParam().identifier);
    ASSERT_EQ(stream->AddTrace("main", "m"), 0);
    stream->Start();
    ViewerConnection connection = viewer.Accept();
    ASSERT_TRUE(connection.Valid());
    EXPECT_EQ(connection.ReadLine(), std::string("alpha\tbeta\t") + GetParam().expected + "\r\n");
    ASSERT_TRUE(WaitConnected(*stream));
    stream->Trace(0, "value %d of %s", 7, "seven");
    EXPECT_EQ(connection.ReadLine(), "value 7 of seven\r\n");
}

INSTANTIATE_TEST_SUITE_P(Identifiers, DebugStreamHeaderTest,
                         ::testing::Values(HeaderCase{26, "001A"}, HeaderCase{4660, "1234"}, HeaderCase{5, "0005"},
                                           HeaderCase{65535, "FFFF"}, HeaderCase{0, "0000"}));

TEST(DebugStreamTest, OnlyRegisteredOrNegativeTraceNumbersSend) {
    TestViewer viewer;
    auto stream = StreamFor(viewer);
    stream->Start();
    ViewerConnection connection = viewer.Accept();
    ASSERT_EQ(connection.ReadLine(), "alpha\tbeta\t001A\r\n");
    ASSERT_TRUE(WaitConnected(*stream));
    stream->Trace(0, "unregistered");   // no trace registered: nothing
    EXPECT_TRUE(connection.NothingArrives(50ms));
    ASSERT_EQ(stream->AddTrace("only", "o"), 0);
    stream->Trace(1, "beyond the count");
    stream->Trace(-1, "negative passes");
    stream->Trace(0, "registered");
    EXPECT_EQ(connection.ReadLine(), "negative passes\r\n");
    EXPECT_EQ(connection.ReadLine(), "registered\r\n");
}

TEST(DebugStreamTest, LongFormattedLinesAreCutToFitWithCrLf) {
    TestViewer viewer;
    auto stream = StreamFor(viewer);
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    ViewerConnection connection = viewer.Accept();
    ASSERT_FALSE(connection.ReadLine().empty());
    ASSERT_TRUE(WaitConnected(*stream));
    const std::string cases[] = {std::string(253, 'a'), std::string(254, 'b'), std::string(5000, 'c'), ""};
    for (const std::string& text : cases) {
        stream->Trace(0, "%s", text.c_str());
        EXPECT_EQ(connection.ReadLine(), text.substr(0, 253) + "\r\n") << "length " << text.size();
    }
}

TEST(DebugStreamTest, ViewerClosingMakesTheStreamReconnectWithANewHeader) {
    TestViewer viewer;
    auto stream = StreamFor(viewer, 0x1234, "first", "second");
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    for (int round = 0; round < 3; ++round) {
        ViewerConnection connection = viewer.Accept();
        ASSERT_TRUE(connection.Valid()) << "round " << round;
        ASSERT_EQ(connection.ReadLine(), "first\tsecond\t1234\r\n") << "round " << round;
        ASSERT_TRUE(WaitConnected(*stream));
        stream->Trace(0, "round %d", round);
        EXPECT_EQ(connection.ReadLine(), "round " + std::to_string(round) + "\r\n");
        connection.Close();
        // Tracing into the closed connection loses lines but must not raise SIGPIPE.
        for (int i = 0; i < 50; ++i) stream->Trace(0, "lost %d", i);
    }
}

TEST(DebugStreamTest, WithoutAViewerLinesAreLostAndTheStreamKeepsTrying) {
    Fd reserved = BoundSocket(-1);   // bound, not listening: connects are refused
    auto stream = std::make_unique<CRPCDebugStream>(1, "a", "b");
    stream->SetViewerPort(LocalPort(reserved.Get()));
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    auto until = std::chrono::steady_clock::now() + 150ms;
    int passes = 0;
    while (std::chrono::steady_clock::now() < until && passes < 100000) {
        stream->Trace(0, "nobody listens %d", passes++);
        EXPECT_EQ(stream->GetState(), 1);
        std::this_thread::sleep_for(200us);
    }
    stream.reset();
}

TEST(DebugStreamTest, FirstTraceOnANeverStartedStreamStartsIt) {
    TestViewer viewer;
    auto stream = StreamFor(viewer);
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    EXPECT_EQ(stream->GetState(), 0);
    stream->Trace(0, "lost, but starts the stream");
    EXPECT_NE(stream->GetState(), 0);
    ViewerConnection connection = viewer.Accept();
    ASSERT_TRUE(connection.Valid());
    EXPECT_EQ(connection.ReadLine(), "alpha\tbeta\t001A\r\n");
}

TEST(DebugStreamTest, StopClosesAndStartReconnects) {
    TestViewer viewer;
    auto stream = StreamFor(viewer);
    stream->Start();
    ViewerConnection first = viewer.Accept();
    ASSERT_EQ(first.ReadLine(), "alpha\tbeta\t001A\r\n");
    ASSERT_TRUE(WaitConnected(*stream));
    stream->Stop();
    EXPECT_EQ(stream->GetState(), 0);
    EXPECT_EQ(stream->m_hSocket, talvex::kInvalidSocket);
    EXPECT_EQ(first.ReadLine(), "");   // the viewer sees the end of the connection
    stream->Stop();                    // stopping twice is harmless
    stream->Start();
    ViewerConnection second = viewer.Accept();
    EXPECT_EQ(second.ReadLine(), "alpha\tbeta\t001A\r\n");
}

// A listener whose accept queue is full: the kernel drops further connection
// requests, so a connect to it stays under way until the queue has room again.
struct FullListener {
    Fd listener = BoundSocket(0);
    Fd filler;
    FullListener() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        filler = Fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        ::connect(filler.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        std::this_thread::sleep_for(5ms);
    }
    std::uint16_t Port() const { return LocalPort(listener.Get()); }
};

TEST(DebugStreamTest, DestroyingWhileAConnectIsUnderWayEndsPromptly) {
    FullListener full;
    auto stream = std::make_unique<CRPCDebugStream>(1, "a", "b");
    stream->SetViewerPort(full.Port());
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(stream->GetState(), 1);
    stream->Trace(0, "lost while connecting");
    auto before = std::chrono::steady_clock::now();
    stream.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);   // a hang guard, not a timing claim
}

TEST(DebugStreamTest, AConnectLeftUnderWayCompletesOnceTheViewerAccepts) {
    FullListener full;
    auto stream = std::make_unique<CRPCDebugStream>(0x77, "slow", "viewer");
    stream->SetViewerPort(full.Port());
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(stream->GetState(), 1);
    // Tracing while the connect is under way loses lines but must not abort the connect.
    for (int i = 0; i < 20; ++i) stream->Trace(0, "lost %d", i);
    // Make room; the stream's repeated connection request then gets in.
    Fd first(::accept4(full.listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(first.Get(), 0);
    pollfd p{full.listener.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 8000), 1) << "the stream never got through";
    ViewerConnection connection(Fd(::accept4(full.listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
    EXPECT_EQ(connection.ReadLine(), "slow\tviewer\t0077\r\n");
    ASSERT_TRUE(WaitConnected(*stream));
}

TEST(DebugStreamTest, DestroyingRightAfterStartIsSafe) {
    TestViewer viewer;
    for (int i = 0; i < 30; ++i) {
        auto stream = StreamFor(viewer);
        stream->Start();
        if (i % 3 == 1) std::this_thread::sleep_for(1ms);
        stream.reset();
        ViewerConnection drained = viewer.Accept(0ms);   // drop whatever connected
    }
}

TEST(DebugStreamTest, ConcurrentTracersKeepLinesWholeAcrossReconnects) {
    TestViewer viewer;
    auto stream = StreamFor(viewer, 0xBEEF, "many", "threads");
    ASSERT_EQ(stream->AddTrace("t", "t"), 0);
    stream->Start();
    std::atomic<bool> stop{false};
    std::vector<std::thread> tracers;
    for (int t = 0; t < 3; ++t) {
        tracers.emplace_back([&, t] {
            for (int n = 0; n < 200000 && !stop.load(); ++n) {
                stream->Trace(0, "tracer %d line %d", t, n);
                if (n % 16 == 0) std::this_thread::sleep_for(100us);
            }
        });
    }
    int connections = 0;
    int lines = 0;
    auto until = std::chrono::steady_clock::now() + 400ms;
    while (std::chrono::steady_clock::now() < until && connections < 20) {
        ViewerConnection connection = viewer.Accept(1000ms);
        ASSERT_TRUE(connection.Valid());
        ++connections;
        EXPECT_EQ(connection.ReadLine(), "many\tthreads\tBEEF\r\n");
        for (int i = 0; i < 20; ++i) {
            std::string line = connection.ReadLine(500ms);
            if (line.empty()) break;
            ++lines;
            EXPECT_EQ(line.rfind("tracer ", 0), 0u) << line;
            EXPECT_EQ(line.find("tracer ", 1), std::string::npos) << line;
        }
        connection.Close();
    }
    stop = true;
    for (auto& tracer : tracers) tracer.join();
    stream.reset();
    EXPECT_GE(connections, 2);
    EXPECT_GT(lines, 0);
}

}  // namespace
