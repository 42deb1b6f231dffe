// CHttpBlockingSocket against a TCP server thread on loopback that sends a scripted
// reply in pieces: lines split and joined across receives, the bytes behind the
// header, over-long lines, early closes, bad arguments and assignment.
#include "talvex05u/socket/HttpBlockingSocket.h"
#include "support/loopback.h"
#include "support/socket_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::CatchSocketException;
using Script = std::vector<std::pair<std::string, std::chrono::milliseconds>>;  // bytes, pause after

// Serves one connection with the script, then closes it at once (`closeAtEnd`) or when destroyed.
class ScriptedServer {
public:
    ScriptedServer(Script script, bool closeAtEnd) {
        m_thread = std::thread([this, script = std::move(script), closeAtEnd] {
            const testsupport::Fd connection(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            for (const auto& [bytes, pause] : script) {
                (void)::send(connection.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(pause);
            }
            if (!closeAtEnd) m_release.get_future().wait_for(20s);
        });
    }
    ~ScriptedServer() {
        m_release.set_value();
        m_thread.join();
    }
    void Connect(CHttpBlockingSocket& client) const {
        client.Create();
        client.Connect(CSockAddr(0x7F000001u, testsupport::LocalPort(m_listener)));
    }

private:
    const testsupport::Fd m_listener = testsupport::BoundLoopback(SOCK_STREAM, 1);
    std::promise<void> m_release;
    std::thread m_thread;
};

struct HttpSocketTest : ::testing::Test {
    void TearDown() override { client.Cleanup(); }
    // Reads one header line into a guarded buffer of `size` bytes.
    std::string ReadLine(int size = 100, int seconds = 5) {
        std::vector<char> line(static_cast<std::size_t>(size) + 4, '#');
        const int length = client.ReadHttpHeaderLine(line.data(), size, seconds);
        const std::string rest(line.begin() + length, line.end());   // the terminator, and nothing written behind it
        EXPECT_EQ(rest, '\0' + std::string(static_cast<std::size_t>(size + 3 - length), '#'));
        return std::string(line.data(), static_cast<std::size_t>(length));
    }
    CHttpBlockingSocket client;
};

// One reply on a connection the server keeps open, so that any receive not needed
// would wait: lines come from the held bytes, a long one cut, a response of exactly
// the destination size returns at once, bad arguments get bounded answers.
TEST_F(HttpSocketTest, HeldBytesServeLinesAndResponseWithoutWaiting) {
    const std::string reply = "HTTP/1.0 200 OK\r\nX-Long: abcdefghijklmnop\r\nNext\nH\n\r\n0123456789B: 2\n";
    ScriptedServer server({{reply, 0ms}}, false);
    server.Connect(client);
    EXPECT_EQ(ReadLine(), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(client.m_nReadBuf, static_cast<int>(reply.size()) - 17);   // the rest is held
    EXPECT_EQ(ReadLine(10), "X-Long: a");   // cut; the rest of the line follows
    for (const char* expected : {"bcdefghijklmnop\r\n", "Next\n"}) EXPECT_EQ(ReadLine(), expected);
    char one[1] = {'#'};
    EXPECT_EQ(CatchSocketException([&] { client.ReadHttpHeaderLine(nullptr, 10, 0); }).text, "ReadHeaderLine");
    EXPECT_EQ(CatchSocketException([&] { client.ReadHttpHeaderLine(one, 0, 0); }).text, "ReadHeaderLine");
    // (One byte holds only the terminator: the http_reader fuzz replay's tiny_destinations.)
    for (int size : {0, -5}) EXPECT_EQ(client.ReadHttpResponse(one, size, 0), 0);
    for (const char* expected : {"H\n", "\r\n"}) EXPECT_EQ(ReadLine(), expected);
    std::vector<char> body(10 + 4, '#');
    const auto start = std::chrono::steady_clock::now();   // a further receive would wait 20 seconds
    EXPECT_EQ(client.ReadHttpResponse(body.data(), 10, 20), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(std::string(body.data(), 11), "0123456789#");
    // With a time-out of 0 a receive would throw, as nothing more arrives.
    EXPECT_EQ(ReadLine(100, 0), "B: 2\n");
    EXPECT_EQ(CatchSocketException([&] { ReadLine(100, 0); }).text, "Receive timeout");
}

TEST_F(HttpSocketTest, LinesSplitAndJoinedAcrossReceivesThenBody) {
    ScriptedServer server({{"HTTP/1.0 2", 30ms}, {"00 OK\r\nContent-Type: text/plain\r\nConte", 30ms},
                           {"nt-Length: 11\r\n", 30ms}, {"\r\nhello", 30ms}, {" world", 0ms}},
                          true);
    server.Connect(client);
    for (const char* expected : {"HTTP/1.0 200 OK\r\n", "Content-Type: text/plain\r\n", "Content-Length: 11\r\n", "\r\n"})
        EXPECT_EQ(ReadLine(), expected);
    char body[64];
    const int length = client.ReadHttpResponse(body, sizeof body, 5);
    EXPECT_EQ(std::make_tuple(std::string(body, static_cast<std::size_t>(length)), client.m_nReadBuf), std::make_tuple(std::string("hello world"), 0));
}

TEST_F(HttpSocketTest, UnendedLinesThrowWithoutOverrunning) {
    const std::tuple<Script, bool, const char*> cases[] = {
        {{{"HTTP/1.0 200", 0ms}}, true, "ReadHeaderLine"},              // closed before the line feed
        {{{std::string(1200, 'x'), 0ms}}, false, "ReadHeaderLine"},     // no line feed within the buffer
        {{{std::string(1000, 'x'), 0ms}}, false, "Receive timeout"},    // full buffer and silence
    };
    for (const auto& [script, closeAtEnd, expected] : cases) {
        SCOPED_TRACE(expected);
        ScriptedServer server(script, closeAtEnd);
        CHttpBlockingSocket reader;
        server.Connect(reader);
        char line[2000];
        EXPECT_EQ(CatchSocketException([&] { for (int i = 0; i < 5; ++i) reader.ReadHttpHeaderLine(line, sizeof line, 1); }).text,
                  expected);
        EXPECT_LE(reader.m_nReadBuf, CHttpBlockingSocket::kReadBufferSize);
        reader.Cleanup();
    }
}

TEST_F(HttpSocketTest, AssignmentCopiesHandleAndHeldBytes) {
    ScriptedServer server({{"A\nheld bytes", 0ms}}, true);
    server.Connect(client);
    EXPECT_EQ(ReadLine(), "A\n");
    {
        CHttpBlockingSocket other;
        other = client;
        EXPECT_TRUE(other.m_hSocket == client.m_hSocket && other.m_pReadBuf != client.m_pReadBuf);
        char body[32];
        EXPECT_EQ(std::string(body, static_cast<std::size_t>(other.ReadHttpResponse(body, sizeof body, 5))), "held bytes");
    }
    EXPECT_EQ(std::string(client.m_pReadBuf, static_cast<std::size_t>(client.m_nReadBuf)), "held bytes");
}

}  // namespace
