// The diagnostic sink end to end: a live caller's dispatcher hands its socket
// error classifications and its caught socket exceptions to the installed sink,
// in the library's exact texts; without a sink the lines are dropped.
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/platform/SocketError.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kProcThrow = 40;   // the hook throws a socket exception

// Collects the lines from whichever thread emits them.
class LineCollector {
public:
    static void Collect(const char* line, void* self)
    {
        auto* collector = static_cast<LineCollector*>(self);
        std::scoped_lock lock(collector->m_lock);
        collector->m_lines.emplace_back(line);
    }
    std::vector<std::string> Lines()
    {
        std::scoped_lock lock(m_lock);
        return m_lines;
    }
    // True when a line matches `pattern`.
    bool Has(const std::regex& pattern)
    {
        const auto lines = Lines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return std::regex_match(line, pattern); });
    }

private:
    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

class ThrowingCaller : public CRP_Caller {
public:
    ~ThrowingCaller() override { StopDispatchThread(); }

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override
    {
        if (block->m_nProcedure != kProcThrow)
            return;
        talvex::WSASetLastError(10054);
        throw new CBlockingSocketException("Send");
    }
};

// Sends raw datagrams to a caller's port.
class RawSender {
public:
    explicit RawSender(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        m_to.sin_family = AF_INET;
        m_to.sin_port = htons(port);
        m_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~RawSender() { ::close(m_fd); }
    void Send(const void* bytes, std::size_t size)
    {
        ASSERT_EQ(static_cast<ssize_t>(size),
                  ::sendto(m_fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof m_to));
    }
    // True when the caller answers a ping within `timeout`.
    bool PingAnswered(std::chrono::milliseconds timeout)
    {
        const std::int32_t ping[4] = {RP_PING, 0, 0, 0};
        Send(ping, sizeof ping);
        const auto micros = std::chrono::microseconds(timeout).count();
        timeval wait{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        std::int32_t answer[4] = {};
        return ::recv(m_fd, answer, sizeof answer, 0) == 16 && answer[0] == RP_PING_ANSWER;
    }

    // True when one of several pings within `total` is answered: a socket being
    // recreated loses what arrives meanwhile.
    bool PingAnsweredWithin(std::chrono::milliseconds total)
    {
        const auto end = std::chrono::steady_clock::now() + total;
        while (std::chrono::steady_clock::now() < end)
            if (PingAnswered(200ms))
                return true;
        return false;
    }

private:
    int m_fd;
    sockaddr_in m_to{};
};

class DiagnosticsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        talvex::SetDiagnosticSink(&LineCollector::Collect, &m_collector);
        ASSERT_TRUE(m_caller.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
        m_sender = std::make_unique<RawSender>(m_caller.GetMyUDPPort());
    }
    void TearDown() override
    {
        m_caller.StopDispatchThread();
        talvex::SetDiagnosticSink(nullptr, nullptr);
    }
    LineCollector m_collector;
    ThrowingCaller m_caller;
    std::unique_ptr<RawSender> m_sender;
};

TEST_F(DiagnosticsTest, EmptyDatagramIsReportedAndTheCallerCarriesOn)
{
    m_sender->Send("", 0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m_collector.Has(std::regex("WSAGetLastError returned: Unknown error code\\.")); }, 2s));
    EXPECT_TRUE(m_sender->PingAnsweredWithin(3000ms)) << "the recreated socket no longer answers";
}

TEST_F(DiagnosticsTest, OversizedDatagramIsReportedAndEndsTheDispatcher)
{
    const std::vector<char> big(3000, 'x');
    m_sender->Send(big.data(), big.size());
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m_collector.Has(std::regex("WSAGetLastError returned: Message too long\\.")); }, 2s));
    EXPECT_FALSE(m_sender->PingAnswered(300ms));
}

TEST_F(DiagnosticsTest, SocketExceptionInAHookGivesTheWinsockLine)
{
    CUdpDataBlockEx call(kProcThrow);
    call.AppendLongData(1);
    std::int32_t record[kPacketRecordWords] = {};
    call.GetPacketAt(0, record, true);
    m_sender->Send(record + 1, static_cast<std::size_t>(record[0]));
    const std::regex expected(R"(WINSOCK ERROR--Dispatcher: Send error #10054 -- \d\d/\d\d/\d\d \d\d:\d\d:\d\d GMT\r\n)");
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m_collector.Has(expected); }, 2s));
    EXPECT_FALSE(m_sender->PingAnswered(300ms)) << "the dispatcher ends after a socket exception";
}

TEST_F(DiagnosticsTest, WithoutSinkNothingArrives)
{
    // The start's own classification (of the bind) has already arrived; nothing more may.
    talvex::SetDiagnosticSink(nullptr, nullptr);
    const std::size_t before = m_collector.Lines().size();
    m_sender->Send("", 0);
    EXPECT_TRUE(m_sender->PingAnsweredWithin(3000ms));
    EXPECT_EQ(m_collector.Lines().size(), before);
}

}  // namespace
