// The diagnostic sink end to end: a live caller's dispatcher hands its socket error
// classifications and caught socket exceptions to the sink.
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/platform/SocketError.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kProcThrow = 40;  // the hook throws a socket exception

class ThrowingCaller : public CRP_Caller {
public:
    ~ThrowingCaller() override { StopDispatchThread(); }

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        if (block->m_nProcedure != kProcThrow) return;
        talvex::WSASetLastError(10054);
        throw new CBlockingSocketException("Send");
    }
};

class DiagnosticsTest : public ::testing::Test {
protected:
    static void Collect(const char* line, void* self) {
        auto* test = static_cast<DiagnosticsTest*>(self);
        std::scoped_lock lock(test->m_lock);
        test->m_lines.emplace_back(line);
    }
    std::vector<std::string> Lines() {
        std::scoped_lock lock(m_lock);
        return m_lines;
    }
    bool Arrives(const std::string& pattern) {
        const std::regex re(pattern);
        return testsupport::WaitUntil([&] { const auto l = Lines(); return std::any_of(l.begin(), l.end(), [&](const std::string& s) { return std::regex_match(s, re); }); }, 2s);
    }
    void SetUp() override {
        talvex::SetDiagnosticSink(&Collect, this);
        ASSERT_TRUE(m_caller.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
        m_to = testsupport::LoopbackAddress(m_caller.GetMyUDPPort());
    }
    void TearDown() override {
        m_caller.StopDispatchThread();
        talvex::SetDiagnosticSink(nullptr, nullptr);
        ::close(m_fd);
    }
    void Send(const void* bytes, std::size_t size) {
        ASSERT_EQ(static_cast<ssize_t>(size), ::sendto(m_fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to));
    }
    // True when a ping is answered within `timeout`.
    bool PingAnswered(std::chrono::milliseconds timeout) {
        std::int32_t answer[4] = {}, ping[4] = {RP_PING, 0, 0, 0};
        for (int i = 0; i < 100 && ::recv(m_fd, answer, sizeof answer, MSG_DONTWAIT) > 0; ++i) {}  // drop late answers
        Send(ping, sizeof ping);
        timeval wait{0, static_cast<suseconds_t>(std::chrono::microseconds(timeout).count())};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        answer[0] = 0;
        return ::recv(m_fd, answer, sizeof answer, 0) == 16 && answer[0] == RP_PING_ANSWER;
    }
    std::mutex m_lock;
    std::vector<std::string> m_lines;
    ThrowingCaller m_caller;
    int m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in m_to{};
};

// That nothing arrives without a sink is BlockingSocketException.LogLineNamesContextCutMessageAndUtcTime's.
TEST_F(DiagnosticsTest, DatagramErrorsAreReported) {
    Send("", 0);  // an empty datagram is no socket error: nothing is told, and the caller carries on
    EXPECT_TRUE(testsupport::WaitUntil([&] { return PingAnswered(200ms); }, 3s)) << "the kept socket is silent";
    EXPECT_EQ(m_caller.GetCounters().socket_recoveries, 1u);
    // A datagram one byte too long is reported and ends the dispatcher.
    const std::vector<char> big(2049, 'x');
    Send(big.data(), big.size());
    EXPECT_TRUE(Arrives("WSAGetLastError returned: Message too long\\."));
    EXPECT_FALSE(PingAnswered(300ms));
    ASSERT_NE(m_caller.m_pDispatchThread, nullptr);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m_caller.m_pDispatchThread->HasEnded(); }, 2s));
}

TEST_F(DiagnosticsTest, SocketExceptionInAHookGivesTheWinsockLine) {
    const std::int32_t call[5] = {RP_CALL, kProcThrow, 0, 1 | (1 << 16), 1};   // one word, the whole call in one packet
    Send(call, sizeof call);
    EXPECT_TRUE(Arrives(R"(WINSOCK ERROR--Dispatcher: Send error #10054 -- \d\d/\d\d/\d\d \d\d:\d\d:\d\d GMT\r\n)"));
    EXPECT_FALSE(PingAnswered(300ms)) << "the dispatcher ends after a socket exception";
}

}  // namespace
