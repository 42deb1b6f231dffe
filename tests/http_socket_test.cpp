// CHttpBlockingSocket against a small TCP server thread on loopback that sends a
// scripted reply in pieces: header lines split and joined across receives, the body
// behind the header, over-long lines, early closes, and assignment.
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/HttpBlockingSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Piece {
    std::string bytes;
    std::chrono::milliseconds pauseAfter;
};

// Serves one connection: sends the pieces in order, then closes the connection once
// the test releases it (or at once when `closeAtEnd`).
class ScriptedServer {
public:
    ScriptedServer(std::vector<Piece> script, bool closeAtEnd) : m_script(std::move(script)), m_closeAtEnd(closeAtEnd) {
        m_listener.Create();
        m_listener.Bind(CSockAddr(0x7F000001u, 0));
        m_listener.Listen();
        m_listener.GetSockAddr(m_address);
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        Release();
        m_thread.join();
        m_listener.Cleanup();
    }
    const CSockAddr& Address() const { return m_address; }
    void Release() {
        if (!m_released) {
            m_released = true;
            m_release.set_value();
        }
    }

private:
    void Serve() {
        CBlockingSocket connection;
        try {
            if (!m_listener.Accept(connection, nullptr)) return;
            for (const Piece& piece : m_script) {
                connection.Write(piece.bytes.data(), static_cast<int>(piece.bytes.size()), 5);
                std::this_thread::sleep_for(piece.pauseAfter);
            }
            if (!m_closeAtEnd) m_release.get_future().wait_for(20s);
        } catch (CBlockingSocketException* exception) {
            exception->Delete();
        }
        connection.Cleanup();
    }

    CBlockingSocket m_listener;
    CSockAddr m_address;
    std::vector<Piece> m_script;
    bool m_closeAtEnd;
    std::promise<void> m_release;
    bool m_released = false;
    std::thread m_thread;
};

std::string CaughtText(CBlockingSocketException* exception) {
    std::string text;
    for (wchar_t c : exception->m_strMessage.str()) text.push_back(static_cast<char>(c));
    exception->Delete();
    return text;
}

class HttpSocketTest : public ::testing::Test {
protected:
    void Connect(const ScriptedServer& server) {
        m_client.Create();
        m_client.Connect(server.Address());
    }
    void TearDown() override { m_client.Cleanup(); }

    std::string ReadLine(int size = 100, int seconds = 5) {
        std::vector<char> line(static_cast<std::size_t>(size), '#');
        const int length = m_client.ReadHttpHeaderLine(line.data(), size, seconds);
        EXPECT_EQ(line[static_cast<std::size_t>(length)], '\0');
        return std::string(line.data(), static_cast<std::size_t>(length));
    }
    // The operation text of the exception that `read` throws.
    template <typename Read>
    std::string ThrownBy(Read&& read) {
        try {
            read();
        } catch (CBlockingSocketException* exception) {
            return CaughtText(exception);
        }
        return "<no exception>";
    }

    CHttpBlockingSocket m_client;
};

TEST_F(HttpSocketTest, StatusLineKeepsItsLineEnd) {
    ScriptedServer server({{"HTTP/1.0 200 OK\r\n", 0ms}}, false);
    Connect(server);
    char line[100];
    std::memset(line, '#', sizeof line);
    EXPECT_EQ(m_client.ReadHttpHeaderLine(line, sizeof line, 5), 17);
    EXPECT_EQ(std::string(line, 18), std::string("HTTP/1.0 200 OK\r\n\0", 18));
    EXPECT_EQ(line[18], '#');
    EXPECT_EQ(m_client.m_nReadBuf, 0);
}

TEST_F(HttpSocketTest, LinesSplitAndJoinedAcrossReceivesThenBody) {
    ScriptedServer server({{"HTTP/1.0 2", 30ms},
                           {"00 OK\r\nContent-Type: text/plain\r\nConte", 30ms},
                           {"nt-Length: 11\r\n", 30ms},
                           {"\r\nhello", 30ms},
                           {" world", 0ms}},
                          true);
    Connect(server);
    EXPECT_EQ(ReadLine(), "HTTP/1.0 200 OK\r\n");
    EXPECT_EQ(ReadLine(), "Content-Type: text/plain\r\n");
    EXPECT_EQ(ReadLine(), "Content-Length: 11\r\n");
    EXPECT_EQ(ReadLine(), "\r\n");
    char body[64];
    const int length = m_client.ReadHttpResponse(body, sizeof body, 5);
    EXPECT_EQ(std::string(body, static_cast<std::size_t>(length)), "hello world");
    EXPECT_EQ(m_client.m_nReadBuf, 0);
}

TEST_F(HttpSocketTest, SecondLineOfOneReceiveNeedsNoReceive) {
    ScriptedServer server({{"A: 1\nB: 2\n", 0ms}}, false);
    Connect(server);
    EXPECT_EQ(ReadLine(100, 5), "A: 1\n");
    // With a time-out of 0 a receive would throw, as nothing more arrives.
    EXPECT_EQ(ReadLine(100, 0), "B: 2\n");
    EXPECT_EQ(ThrownBy([&] { ReadLine(100, 0); }), "Receive timeout");
}

TEST_F(HttpSocketTest, ResponseExactlyTheDestinationSizeReturnsWithoutWaiting) {
    ScriptedServer server({{"H\r\n\r\n0123456789", 0ms}}, false);
    Connect(server);
    EXPECT_EQ(ReadLine(), "H\r\n");
    EXPECT_EQ(ReadLine(), "\r\n");
    char body[10];
    // The server keeps the connection open: a further receive would wait 20 seconds.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client.ReadHttpResponse(body, sizeof body, 20), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(std::string(body, 10), "0123456789");
}

TEST_F(HttpSocketTest, HeldBytesBeyondTheDestinationStayHeld) {
    ScriptedServer server({{"H\n" + std::string(30, 'b'), 0ms}}, true);
    Connect(server);
    EXPECT_EQ(ReadLine(), "H\n");
    ASSERT_EQ(m_client.m_nReadBuf, 30);
    std::vector<char> body(10 + 4, '#');
    EXPECT_EQ(m_client.ReadHttpResponse(body.data(), 10, 5), 10);
    EXPECT_EQ(body[10], '#');
    EXPECT_EQ(m_client.m_nReadBuf, 20);
    char rest[64];
    EXPECT_EQ(m_client.ReadHttpResponse(rest, sizeof rest, 5), 20);
    EXPECT_EQ(m_client.m_nReadBuf, 0);
}

TEST_F(HttpSocketTest, LineLongerThanTheDestinationIsCutAndTheRestFollows) {
    ScriptedServer server({{"X-Long: abcdefghijklmnop\r\nNext\n", 0ms}}, false);
    Connect(server);
    std::vector<char> line(10 + 4, '#');
    EXPECT_EQ(m_client.ReadHttpHeaderLine(line.data(), 10, 5), 9);
    EXPECT_STREQ(line.data(), "X-Long: a");
    EXPECT_EQ(line[10], '#');
    EXPECT_EQ(ReadLine(), "bcdefghijklmnop\r\n");
    EXPECT_EQ(ReadLine(), "Next\n");
    EXPECT_LE(m_client.m_nReadBuf, CHttpBlockingSocket::kReadBufferSize);
}

TEST_F(HttpSocketTest, UnendedLinesThrowReadHeaderLine) {
    struct Case {
        const char* name;
        std::vector<Piece> script;
        bool closeAtEnd;
        const char* expected;
    };
    const Case cases[] = {
        {"closed before the line feed", {{"HTTP/1.0 200", 0ms}}, true, "ReadHeaderLine"},
        {"no line feed within the buffer", {{std::string(1200, 'x'), 0ms}}, false, "ReadHeaderLine"},
        {"full buffer and silence", {{std::string(1000, 'x'), 0ms}}, false, "Receive timeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script, c.closeAtEnd);
        CHttpBlockingSocket client;
        client.Create();
        client.Connect(server.Address());
        char line[2000];
        std::string thrown = "<no exception>";
        try {
            for (int i = 0; i < 5; ++i) client.ReadHttpHeaderLine(line, sizeof line, 1);
        } catch (CBlockingSocketException* exception) {
            thrown = CaughtText(exception);
        }
        EXPECT_EQ(thrown, c.expected);
        EXPECT_LE(client.m_nReadBuf, CHttpBlockingSocket::kReadBufferSize);
        client.Cleanup();
    }
}

TEST_F(HttpSocketTest, ResponseTimeOutPassesThrough) {
    ScriptedServer server({{"H\n", 0ms}}, false);
    Connect(server);
    EXPECT_EQ(ReadLine(), "H\n");
    char body[16];
    EXPECT_EQ(ThrownBy([&] { m_client.ReadHttpResponse(body, sizeof body, 0); }), "Receive timeout");
}

TEST_F(HttpSocketTest, BadArgumentsGiveBoundedAnswers) {
    ScriptedServer server({{"H\nrest", 0ms}}, false);
    Connect(server);
    EXPECT_EQ(ThrownBy([&] { m_client.ReadHttpHeaderLine(nullptr, 10, 0); }), "ReadHeaderLine");
    char one[1] = {'#'};
    EXPECT_EQ(ThrownBy([&] { m_client.ReadHttpHeaderLine(one, 0, 0); }), "ReadHeaderLine");
    // A destination of one byte holds only the terminator.
    EXPECT_EQ(m_client.ReadHttpHeaderLine(one, 1, 5), 0);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(m_client.ReadHttpResponse(one, 0, 0), 0);
    EXPECT_EQ(m_client.ReadHttpResponse(one, -5, 0), 0);
}

TEST_F(HttpSocketTest, AssignmentTakesHandleAndHeldBytes) {
    ScriptedServer server({{"A\nheld bytes", 0ms}}, true);
    Connect(server);
    EXPECT_EQ(ReadLine(), "A\n");
    ASSERT_EQ(m_client.m_nReadBuf, 10);
    {
        CHttpBlockingSocket other;
        other = m_client;
        EXPECT_EQ(other.m_hSocket, m_client.m_hSocket);
        EXPECT_NE(other.m_pReadBuf, m_client.m_pReadBuf);
        char body[32];
        const int length = other.ReadHttpResponse(body, sizeof body, 5);
        EXPECT_EQ(std::string(body, static_cast<std::size_t>(length)), "held bytes");
    }
    // The original keeps its own buffer and bytes after the copy is gone.
    EXPECT_EQ(m_client.m_nReadBuf, 10);
    EXPECT_EQ(std::string(m_client.m_pReadBuf, 10), "held bytes");
}

}  // namespace
