// CRPCDebugStream against a real TCP listener in the test: header lines, traced
// lines, reconnection, limits, and ending while connecting or tracing.
#include "talvex05u/support/RPCDebugStream.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;
using testsupport::Fd;
using testsupport::LocalPort;

// One accepted stream connection and the bytes read from it so far.
class ViewerConnection {
public:
    explicit ViewerConnection(Fd fd) : m_fd(std::move(fd)) {}
    bool Valid() const { return m_fd.Get() >= 0; }
    // The next line including its CR LF; "" on time-out or when the stream closed.
    std::string ReadLine(std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_buffer.find("\r\n") == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (left.count() <= 0 || !Valid()) return "";
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(m_fd.Get(), chunk, sizeof chunk, 0);
            if (n <= 0) return "";
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
        std::string line = m_buffer.substr(0, m_buffer.find("\r\n") + 2);
        m_buffer.erase(0, line.size());
        return line;
    }
    void Close() { m_fd.Reset(); }

private:
    Fd m_fd;
    std::string m_buffer;
};

// A listener on a free loopback port; a backlog of 0 with one queued connection is full.
class TestViewer {
public:
    explicit TestViewer(int backlog = 16) : m_listener(testsupport::BoundLoopback(SOCK_STREAM, backlog)) {}
    std::uint16_t Port() const { return LocalPort(m_listener); }
    ViewerConnection Accept(std::chrono::milliseconds timeout = 3000ms) {
        pollfd p{m_listener.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return ViewerConnection(Fd());
        return ViewerConnection(Fd(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC)));
    }

private:
    Fd m_listener;
};

// A stream to `port` with one trace registered (not started).
std::unique_ptr<CRPCDebugStream> StreamTo(std::uint16_t port, unsigned short id = 26, const char* first = "alpha",
                                          const char* second = "beta") {
    auto stream = std::make_unique<CRPCDebugStream>(id, first, second);
    stream->SetViewerPort(port);
    EXPECT_EQ(stream->AddTrace("t", "t"), 0);
    return stream;
}

bool WaitConnected(CRPCDebugStream& stream) {
    return testsupport::WaitUntil([&] { return stream.GetState() == 2; }, 3000ms);
}

TEST(DebugStreamTest, AddTraceFillsThirtyTwoEntriesCuttingNamesAndTexts) {
    CRPCDebugStream stream(1, "a", "b");
    const std::string longName(100, 'n');
    ASSERT_EQ(stream.AddTrace(longName.c_str(), "seventeen chars!!"), 0);
    EXPECT_EQ(std::make_tuple(std::string(stream.m_Traces[0].name), std::string(stream.m_Traces[0].text)), std::make_tuple(std::string(63, 'n'), std::string("seventeen chars!")));
    for (std::int32_t i = 1; i < 32; ++i) EXPECT_EQ(stream.AddTrace("name", "exactly16chars!!"), i);
    EXPECT_STREQ(stream.m_Traces[31].text, "exactly16chars!!");
    EXPECT_EQ((std::tuple<std::int32_t, std::int32_t>{stream.AddTrace("thirty-third", "x"), stream.m_nTraceCount}), std::make_tuple(-1, 32));
}

// The first trace starts a stream; each connection opens with the header line (a long
// name cut to 63 characters, a missing one empty; identifiers of 0x8000 and above:
// ConcurrentTracers). Only registered traces send (a negative number passes), lines are
// cut to 253 characters plus CR LF, and after the viewer closes or a Stop/Start the
// stream connects anew.
TEST(DebugStreamTest, HeaderLinesTracedLinesAndReconnects) {
    const std::string longName(100, 'n');
    TestViewer viewer;
    auto stream = StreamTo(viewer.Port(), 0, longName.c_str(), nullptr);
    stream->Trace(0, "lost, but the first trace starts the stream");
    EXPECT_NE(stream->GetState(), 0);
    for (int round = 0; round < 3; ++round) {
        ViewerConnection connection = viewer.Accept();
        ASSERT_EQ(connection.ReadLine(), std::string(63, 'n') + "\t\t0000\r\n") << "round " << round;
        ASSERT_TRUE(WaitConnected(*stream));
        stream->Trace(1, "beyond the count");   // only trace 0 is registered: not sent
        stream->Trace(-1, "value %d of %s", round, "negative passes");
        EXPECT_EQ(connection.ReadLine(), "value " + std::to_string(round) + " of negative passes\r\n");
        for (const unsigned length : {253u, 254u, 5000u, 0u}) {
            stream->Trace(0, "%s", std::string(length, 'c').c_str());
            EXPECT_EQ(connection.ReadLine(), std::string(std::min(length, 253u), 'c') + "\r\n") << length;
        }
        if (round == 1) {   // Stop closes the connection (twice is harmless); Start connects again
            stream->Stop(), stream->Stop();
            EXPECT_EQ(stream->GetState(), 0);
            EXPECT_EQ(connection.ReadLine(), "");
            stream->Start();
            continue;
        }
        connection.Close();
        for (int i = 0; i < 50; ++i) stream->Trace(0, "lost %d", i);   // into a closed connection: no SIGPIPE
    }
}

// Assignment copies identifier, names and trace table (trace 1 exists on the target);
// each stream keeps its own connection, and the target announces the copied names
// when it reconnects.
TEST(DebugStreamTest, AssignmentCopiesTheConfigurationAndKeepsTheConnection) {
    TestViewer sourceViewer, targetViewer;
    auto source = StreamTo(sourceViewer.Port(), 0x1234, "first", "second");
    ASSERT_EQ(source->AddTrace("second trace", "s"), 1);
    auto target = StreamTo(targetViewer.Port(), 5, "other", "names");
    source->Start(), target->Start();
    ViewerConnection sourceConnection = sourceViewer.Accept(), targetConnection = targetViewer.Accept();
    ASSERT_EQ(sourceConnection.ReadLine(), "first\tsecond\t1234\r\n");
    ASSERT_EQ(targetConnection.ReadLine(), "other\tnames\t0005\r\n");
    ASSERT_TRUE(WaitConnected(*source) && WaitConnected(*target));

    *target = *source;
    EXPECT_EQ(target->GetState(), 2);
    target->Trace(1, "on the target's own connection");
    source->Trace(1, "on the source's");
    EXPECT_EQ(targetConnection.ReadLine(), "on the target's own connection\r\n");
    EXPECT_EQ(sourceConnection.ReadLine(), "on the source's\r\n");
    target->Stop(), target->Start();
    ViewerConnection again = targetViewer.Accept();
    EXPECT_EQ(again.ReadLine(), "first\tsecond\t1234\r\n");
}

// A viewer that refuses connects, or one whose queue is full so that connects hang: lines
// are lost and the state stays 1; destroying ends promptly, a connect left alone completes.
TEST(DebugStreamTest, WhileConnectingLinesAreLostDestroyingEndsPromptlyAndALeftConnectCompletes) {
    Fd refusing = testsupport::BoundLoopback(SOCK_STREAM);   // bound, not listening: connects are refused
    auto unheard = StreamTo(LocalPort(refusing));
    unheard->Start();
    const auto until = std::chrono::steady_clock::now() + 150ms;
    for (int n = 0; n < 100000 && std::chrono::steady_clock::now() < until; ++n) {
        unheard->Trace(0, "nobody listens %d", n);
        EXPECT_EQ(unheard->GetState(), 1);
        std::this_thread::sleep_for(200us);
    }
    TestViewer full(0);   // its queue is full, so the kernel drops further connection requests
    Fd filler = testsupport::ConnectLoopback(full.Port(), SOCK_NONBLOCK);
    std::this_thread::sleep_for(5ms);
    auto doomed = StreamTo(full.Port(), 1, "a", "b");
    auto slow = StreamTo(full.Port(), 0x77, "slow", "viewer");
    doomed->Start(), slow->Start();
    std::this_thread::sleep_for(30ms);
    ASSERT_EQ(std::make_tuple(doomed->GetState(), slow->GetState()), std::make_tuple(1, 1));
    for (int i = 0; i < 20; ++i) slow->Trace(0, "lost %d", i);   // must not abort the connect under way
    const auto before = std::chrono::steady_clock::now();
    doomed.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);   // a hang guard, not a timing claim
    ASSERT_TRUE(full.Accept().Valid());                         // the filler: room for the slow stream
    EXPECT_EQ(full.Accept(8000ms).ReadLine(), "slow\tviewer\t0077\r\n");
    ASSERT_TRUE(WaitConnected(*slow));
    for (int i = 0; i < 30; ++i) {   // destroying at any step right after Start is safe too
        auto stream = StreamTo(full.Port());
        stream->Start();
        if (i % 3 == 1) std::this_thread::sleep_for(1ms);
        stream.reset();
        full.Accept(0ms);   // drop whatever connected
    }
}

TEST(DebugStreamTest, ConcurrentTracersKeepLinesWholeAcrossReconnects) {
    TestViewer viewer;
    auto stream = StreamTo(viewer.Port(), 0xBEEF, "many", "threads");
    stream->Start();
    std::atomic<bool> stop{false};
    std::vector<std::thread> tracers;
    for (int t = 0; t < 3; ++t)
        tracers.emplace_back([&, t] {
            for (int n = 0; n < 200000 && !stop.load(); ++n) {
                stream->Trace(0, "tracer %d line %d", t, n);
                if (n % 16 == 0) std::this_thread::sleep_for(100us);
            }
        });
    int connections = 0, lines = 0;
    const auto until = std::chrono::steady_clock::now() + 400ms;
    while (std::chrono::steady_clock::now() < until && connections < 20) {
        ViewerConnection connection = viewer.Accept(1000ms);
        ASSERT_TRUE(connection.Valid());
        ++connections;
        EXPECT_EQ(connection.ReadLine(), "many\tthreads\tBEEF\r\n");
        for (int i = 0; i < 20; ++i) {
            std::string line = connection.ReadLine(500ms);
            if (line.empty()) break;
            ++lines;
            EXPECT_TRUE(line.rfind("tracer ", 0) == 0u && line.find("tracer ", 1) == std::string::npos) << line;
        }
        connection.Close();
    }
    stop = true;
    for (auto& tracer : tracers) tracer.join();
    EXPECT_TRUE(connections >= 2 && lines > 0) << connections << " connections, " << lines << " lines";
}

}  // namespace
