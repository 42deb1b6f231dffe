// CBlockingSocket over real loopback sockets: stream connections, time-outs, the send
// lock, an accept ended by Close, odd datagrams, rejected destinations, a failed bind, names.
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/BlockingSocket.h"
#include "socket/PendingDatagram.h"
#include "support/socket_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <string>
#include <tuple>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testsupport::CatchSocketException;
using testsupport::Thrown;

const CSockAddr kLoopbackAnyPort(0x7F000001u, 0);

bool HasCloseOnExec(const CBlockingSocket& s) { const int f = ::fcntl(static_cast<int>(s.m_hSocket), F_GETFD); return f >= 0 && (f & FD_CLOEXEC) != 0; }
bool WaitReadable(const CBlockingSocket& s) { pollfd entry{static_cast<int>(s.m_hSocket), POLLIN, 0}; return ::poll(&entry, 1, 5000) == 1; }
std::tuple<std::string, int> TextAndError(const Thrown& t) { return {t.text, t.error}; }

// A listener on a system-chosen loopback port, a client connected to it and the accepted server side.
struct StreamPair : ::testing::Test {
    CBlockingSocket listener, client, server;
    CSockAddr listenAddress;

    void SetUp() override {
        listener.Create(talvex::kSockStream);
        listener.Bind(kLoopbackAnyPort);
        listener.Listen();
        listener.GetSockAddr(listenAddress);
        client.Create(talvex::kSockStream);
        client.Connect(listenAddress);
        CSockAddr peer;
        ASSERT_TRUE(listener.Accept(server, peer));
        ASSERT_EQ(peer.IPAddr(), 0x7F000001u);
    }
    void TearDown() override { for (CBlockingSocket* s : {&listener, &client, &server}) s->Cleanup(); }
};

// A UDP socket bound to a system-chosen loopback port.
struct DatagramSocket {
    CBlockingSocket socket;
    CSockAddr address;
    DatagramSocket() {
        socket.Create(talvex::kSockDgram);
        socket.Bind(kLoopbackAnyPort);
        socket.GetSockAddr(address);
    }
    ~DatagramSocket() { socket.Cleanup(); }
};

TEST_F(StreamPair, ListenAcceptConnectWriteReceive) {
    for (CBlockingSocket* s : {&listener, &client, &server}) EXPECT_TRUE(HasCloseOnExec(*s));
    CSockAddr seenByServer, clientOwn;
    server.GetPeerAddr(seenByServer);
    client.GetSockAddr(clientOwn);
    EXPECT_EQ(seenByServer.Port(), clientOwn.Port());

    // Nothing waiting and a time-out of 0: throws at once.
    char buffer[8192];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TextAndError(CatchSocketException([&] { server.Receive(buffer, 16, 0); })), std::make_tuple(std::string("Receive timeout"), 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);

    // A megabyte takes many partial sends; a reader thread drains it meanwhile.
    std::vector<char> payload(1 << 20), received;
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
    std::thread reader([&] {
        for (int n; received.size() < payload.size() && (n = server.Receive(buffer, sizeof buffer, 10)) > 0;)
            received.insert(received.end(), buffer, buffer + n);
    });
    EXPECT_EQ(client.Write(payload.data(), static_cast<int>(payload.size()), 10), static_cast<int>(payload.size()));
    reader.join();
    EXPECT_EQ(received, payload);
    client.Close();
    EXPECT_EQ(client.m_hSocket, talvex::kInvalidSocket);
}

TEST_F(StreamPair, SendTimesOutAndReleasesTheLockThenFailsAfterPeerReset) {
    const int small = 4096;
    ::setsockopt(static_cast<int>(client.m_hSocket), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(static_cast<int>(server.m_hSocket), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // The server never reads: sending with no wait fills both buffers until it times out.
    std::vector<char> block(65536, 'x');
    Thrown thrown;
    for (int i = 0; i < 1000 && thrown.text != "Send timeout"; ++i)
        thrown = CatchSocketException([&] { client.Send(block.data(), static_cast<int>(block.size()), 0); });
    EXPECT_EQ(TextAndError(thrown), std::make_tuple(std::string("Send timeout"), 0));
    // A one-second wait from another thread times out too, which it could not if the lock were kept.
    auto second = std::async(std::launch::async, [&] { return CatchSocketException([&] { client.Send(block.data(), 1, 1); }); });
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(second.get().text, "Send timeout");

    // A peer that resets the connection: Send throws "Send" with the error (and no SIGPIPE).
    const linger hard{1, 0};  // closing with a zero linger time resets the connection
    ::setsockopt(static_cast<int>(server.m_hSocket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    server.Close();
    ASSERT_TRUE(WaitReadable(client));
    thrown = CatchSocketException([&] { for (int i = 0; i < 100; ++i) client.Send("data", 4, 5); });
    EXPECT_EQ(thrown.text, "Send");
    EXPECT_TRUE(thrown.error == 10054 || thrown.error == 20000 + EPIPE) << thrown.error;
}

TEST_F(StreamPair, AcceptBlockedInOneThreadIsEndedByCloseInAnotherWith10004) {
    CBlockingSocket connection;
    connection.m_hSocket = 12345;  // must come back invalid
    std::atomic<int> result{-1}, lastError{-1};
    std::thread acceptor([&] { lastError = (result = listener.Accept(connection, nullptr) ? 1 : 0, talvex::WSAGetLastError()); });
    std::this_thread::sleep_for(100ms);  // into the blocked accept
    const auto start = std::chrono::steady_clock::now();
    listener.Close();
    acceptor.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(std::make_tuple(result.load(), lastError.load(), connection.m_hSocket), std::make_tuple(0, 10004, talvex::kInvalidSocket));
}

TEST(BlockingSocket, FailuresThrowTheirOperationText) {
    CBlockingSocket socket, other;
    const Thrown badType = CatchSocketException([&] { socket.Create(99); });
    EXPECT_EQ(std::make_tuple(badType.text, badType.error != 0, socket.m_hSocket), std::make_tuple("Create", true, talvex::kInvalidSocket));
    socket.Cleanup();  // nothing to do, nothing thrown
    char buffer[4];
    CSockAddr address;
    EXPECT_EQ((std::vector<std::string>{CatchSocketException([&] { socket.Close(); }).text,
                                        CatchSocketException([&] { socket.Receive(buffer, 4, 0); }).text,
                                        CatchSocketException([&] { socket.Send(buffer, 4, 0); }).text,
                                        CatchSocketException([&] { socket.Listen(); }).text,
                                        CatchSocketException([&] { socket.GetPeerAddr(address); }).text,
                                        CatchSocketException([&] { socket.GetSockAddr(address); }).text}),
              (std::vector<std::string>{"Close", "Receive", "Send", "Listen", "GetPeerName", "GetSockName"}));
    EXPECT_EQ(TextAndError(CatchSocketException([&] { socket.Accept(other, nullptr); })), std::make_tuple(std::string("Accept"), 10009));

    const CSockAddr unusedPort = DatagramSocket().address;  // a port nobody listens on refuses the connection
    socket.Create();
    EXPECT_EQ(TextAndError(CatchSocketException([&] { socket.Connect(unusedPort); })), std::make_tuple(std::string("Connect"), 10061));
    socket.Close();

    // Resolving nothing throws.
    const Thrown empty = CatchSocketException([] { CBlockingSocket::GetHostByName(""); });
    EXPECT_TRUE(empty.text == "GetHostByName" && empty.error >= 11001 && empty.error <= 11004) << empty.text << empty.error;
    EXPECT_EQ(CatchSocketException([] { CBlockingSocket::GetHostByName(nullptr); }).text, "GetHostByName");
    EXPECT_EQ(CatchSocketException([] { CBlockingSocket::GetHostByAddr(nullptr); }).text, "GetHostByAddr");
}

TEST(BlockingSocket, DatagramsWithSenderOddSizesAndRejectedDestinations) {
    DatagramSocket a, b;   // Create's close-on-exec, the same for both types: ListenAcceptConnectWriteReceive
    char buffer[16];
    CSockAddr sender;
    const auto send = [&](const char* data, int size) {
        EXPECT_EQ(a.socket.SendDatagram(data, size, b.address, 1), size);
        ASSERT_TRUE(WaitReadable(b.socket));
    };
    send("hello", 5);
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, sender, 0), 5);
    EXPECT_EQ(std::make_tuple(std::string(buffer, 5), sender.Port(), sender.IPAddr()), std::make_tuple("hello", a.address.Port(), 0x7F000001u));

    // Nothing waiting: it blocks until a datagram comes (the seconds are not used).
    auto late = std::async(std::launch::async, [&] {
        char into[16];
        CSockAddr from;
        const int size = b.socket.ReceiveDatagram(into, sizeof into, from, 0);
        return size == 4 ? std::string(into, 4) : "size " + std::to_string(size);
    });
    EXPECT_EQ(late.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(a.socket.SendDatagram("late", 4, b.address, 1), 4);
    ASSERT_EQ(late.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(late.get(), "late");

    send("", 0);
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, sender, 0), -1);

    std::vector<char> guarded(sizeof buffer + 8, 'G');
    send(std::string(100, 'L').data(), 100);
    EXPECT_EQ(b.socket.ReceiveDatagram(guarded.data(), static_cast<int>(sizeof buffer), nullptr, 0), -1);
    EXPECT_EQ(talvex::WSAGetLastError(), 10040);
    EXPECT_EQ(guarded[sizeof buffer], 'G');

    // The oversized datagram was consumed; the next one arrives intact.
    send("ok", 2);
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, nullptr, 0), 2);
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, -1, nullptr, 0), -1);

    // The dispatcher's receive after poll: a datagram that is gone by then (another
    // reader took it, or the kernel dropped it for its checksum) is "nothing", not a
    // socket failure that would make the dispatcher recreate its socket.
    const int fd = static_cast<int>(b.socket.m_hSocket);
    talvex::WSASetLastError(0);
    EXPECT_EQ(talvex::TakePendingDatagram(fd, buffer, sizeof buffer, sender).outcome, talvex::PendingDatagram::Outcome::kNone);
    EXPECT_EQ(talvex::WSAGetLastError(), 0);

    // Rejected destinations return -1 without throwing.
    const std::pair<const sockaddr*, int> cases[] = {{kLoopbackAnyPort, 4}, {nullptr, 4}, {kLoopbackAnyPort, -4}};
    for (const auto& [destination, count] : cases) {
        SCOPED_TRACE(count);
        talvex::WSASetLastError(0);
        int result = 0;
        EXPECT_EQ(CatchSocketException([&] { result = a.socket.SendDatagram("data", count, destination, 1); }).text,
                  "<no exception>");
        EXPECT_EQ(result, -1);
        EXPECT_NE(talvex::WSAGetLastError(), 0);
    }
}

TEST(BlockingSocket, BindToATakenPortIsReportedOnceAndReturns) {
    DatagramSocket holder;
    CBlockingSocket second;
    second.Create(talvex::kSockDgram);
    const auto start = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();   // the report goes to standard error
    second.Bind(holder.address);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);  // two pauses between three attempts
    char expected[80];
    std::snprintf(expected, sizeof expected, "Socket Error: Konnte Port %04X nicht binden!\n",
                  static_cast<unsigned>(htons(holder.address.Port())));
    EXPECT_EQ(report, expected);
    EXPECT_EQ(talvex::WSAGetLastError(), 10048);
    CSockAddr own;  // still unbound: the system picks a fresh port for it
    second.GetSockAddr(own);
    EXPECT_NE(own.Port(), holder.address.Port());
    second.Close();
    // The message shows the port field as stored (network order).
    CBlockingSocket unopened;
    testing::internal::CaptureStderr();
    unopened.Bind(CSockAddr(0x7F000001u, 4660));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Socket Error: Konnte Port 3412 nicht binden!\n");
}
}  // namespace
