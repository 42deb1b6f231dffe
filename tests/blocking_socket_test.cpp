// CBlockingSocket over real loopback sockets: stream connections through
// Listen/Accept/Connect, time-outs, the send lock, interrupted accepts, datagrams of
// odd sizes, rejected destinations, a failed bind and name resolution.
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/BlockingSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

const CSockAddr kLoopbackAnyPort(0x7F000001u, 0);

// The operation text and error number of a thrown socket exception; disposes of it.
struct Thrown {
    std::string text;
    int error = -1;
};

template <typename Operation>
Thrown CatchSocketException(Operation&& operation) {
    Thrown result;
    try {
        operation();
        result.text = "<no exception>";
    } catch (CBlockingSocketException* exception) {
        for (wchar_t c : exception->m_strMessage.str()) result.text.push_back(static_cast<char>(c));
        result.error = exception->m_nError;
        exception->Delete();
    }
    return result;
}

bool HasCloseOnExec(const CBlockingSocket& socket) {
    const int flags = ::fcntl(static_cast<int>(socket.m_hSocket), F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) != 0;
}

bool WaitReadable(const CBlockingSocket& socket, int milliseconds) {
    pollfd entry{static_cast<int>(socket.m_hSocket), POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}

// A listener on a system-chosen loopback port, a client connected to it and the
// accepted server side. Closes whatever is still open.
struct StreamPair {
    CBlockingSocket listener;
    CBlockingSocket client;
    CBlockingSocket server;
    CSockAddr listenAddress;

    void Open() {
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
    ~StreamPair() {
        listener.Cleanup();
        client.Cleanup();
        server.Cleanup();
    }
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

TEST(BlockingSocketStream, ListenAcceptConnectWriteReceive) {
    StreamPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    EXPECT_NE(pair.listenAddress.Port(), 0);
    EXPECT_TRUE(HasCloseOnExec(pair.listener));
    EXPECT_TRUE(HasCloseOnExec(pair.client));
    EXPECT_TRUE(HasCloseOnExec(pair.server));

    CSockAddr clientSeenByServer;
    pair.server.GetPeerAddr(clientSeenByServer);
    CSockAddr clientOwn;
    pair.client.GetSockAddr(clientOwn);
    EXPECT_EQ(clientSeenByServer.Port(), clientOwn.Port());

    // A megabyte takes many partial sends; a reader thread drains it meanwhile.
    std::vector<char> payload(1 << 20);
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
    std::vector<char> received;
    std::thread reader([&] {
        char chunk[8192];
        while (received.size() < payload.size()) {
            const int n = pair.server.Receive(chunk, sizeof chunk, 10);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    EXPECT_EQ(pair.client.Write(payload.data(), static_cast<int>(payload.size()), 10), static_cast<int>(payload.size()));
    reader.join();
    EXPECT_EQ(received, payload);

    // The peer closing shows as a receive of 0 bytes.
    pair.client.Close();
    EXPECT_EQ(pair.client.m_hSocket, talvex::kInvalidSocket);
    char byte;
    EXPECT_EQ(pair.server.Receive(&byte, 1, 5), 0);
}

TEST(BlockingSocketStream, ReceiveWithZeroSecondsThrowsAtOnce) {
    StreamPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    char buffer[16];
    const auto start = std::chrono::steady_clock::now();
    const Thrown thrown = CatchSocketException([&] { pair.server.Receive(buffer, sizeof buffer, 0); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(thrown.text, "Receive timeout");
    EXPECT_EQ(thrown.error, 0);
}

TEST(BlockingSocketStream, SendTimesOutAndReleasesTheLock) {
    StreamPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    const int small = 4096;
    ::setsockopt(static_cast<int>(pair.client.m_hSocket), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(static_cast<int>(pair.server.m_hSocket), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    // The server never reads: sending with no wait fills both buffers until it times out.
    std::vector<char> block(65536, 'x');
    Thrown thrown;
    for (int i = 0; i < 1000 && thrown.text != "Send timeout"; ++i) {
        thrown = CatchSocketException([&] { pair.client.Send(block.data(), static_cast<int>(block.size()), 0); });
    }
    EXPECT_EQ(thrown.text, "Send timeout");
    EXPECT_EQ(thrown.error, 0);

    // A one-second wait on the full socket from another thread times out as well,
    // which it could not if the first Send had kept the lock.
    auto second = std::async(std::launch::async, [&] {
        return CatchSocketException([&] { pair.client.Send(block.data(), 1, 1); });
    });
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(second.get().text, "Send timeout");
}

TEST(BlockingSocketStream, SendAfterPeerResetThrowsSendWithTheError) {
    StreamPair pair;
    ASSERT_NO_FATAL_FAILURE(pair.Open());
    // Closing with unread data and a zero linger time resets the connection.
    const linger hard{1, 0};
    ::setsockopt(static_cast<int>(pair.server.m_hSocket), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    pair.server.Close();
    ASSERT_TRUE(WaitReadable(pair.client, 5000));
    const Thrown thrown = CatchSocketException([&] {
        for (int i = 0; i < 100; ++i) pair.client.Send("data", 4, 5);
    });
    EXPECT_EQ(thrown.text, "Send");
    EXPECT_TRUE(thrown.error == 10054 || thrown.error == 20000 + EPIPE) << thrown.error;
}

void IgnoreSignal(int) {}

TEST(BlockingSocketStream, AcceptInterruptedBySignalReturnsFalse) {
    struct sigaction action {};
    action.sa_handler = &IgnoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked accept ends with EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);

    CBlockingSocket listener;
    listener.Create();
    listener.Bind(kLoopbackAnyPort);
    listener.Listen();
    CBlockingSocket connection;
    connection.m_hSocket = 12345;  // must come back invalid
    std::atomic<bool> done{false};
    std::atomic<int> result{-1};
    std::atomic<int> lastError{-1};
    std::thread acceptor([&] {
        CSockAddr peer;
        result = listener.Accept(connection, peer) ? 1 : 0;
        lastError = talvex::WSAGetLastError();
        done = true;
    });
    // The signal may arrive before the thread blocks in accept; repeat until it returns.
    for (int i = 0; i < 500 && !done; ++i) {
        ::pthread_kill(acceptor.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
    }
    if (!done) {
        // Unblock the thread with a real connection so the test can end.
        CBlockingSocket client;
        client.Create();
        CSockAddr address;
        listener.GetSockAddr(address);
        client.Connect(address);
        acceptor.join();
        client.Cleanup();
        connection.Cleanup();
        FAIL() << "Accept was not interrupted";
    }
    acceptor.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(lastError, 10004);
    EXPECT_EQ(connection.m_hSocket, talvex::kInvalidSocket);

    // The lock was released: a second Accept on the same object serves a connection.
    CBlockingSocket client;
    client.Create();
    CSockAddr address;
    listener.GetSockAddr(address);
    client.Connect(address);
    EXPECT_TRUE(listener.Accept(connection, nullptr));
    EXPECT_NE(connection.m_hSocket, talvex::kInvalidSocket);
    connection.Cleanup();
    client.Cleanup();
    listener.Cleanup();
}

TEST(BlockingSocketStream, FailuresThrowTheirOperationText) {
    CBlockingSocket socket;
    EXPECT_EQ(CatchSocketException([&] { socket.Close(); }).text, "Close");
    socket.Cleanup();  // nothing to do, nothing thrown
    EXPECT_EQ(socket.m_hSocket, talvex::kInvalidSocket);

    const Thrown badType = CatchSocketException([&] { socket.Create(99); });
    EXPECT_EQ(badType.text, "Create");
    EXPECT_NE(badType.error, 0);
    EXPECT_EQ(socket.m_hSocket, talvex::kInvalidSocket);

    char buffer[4];
    EXPECT_EQ(CatchSocketException([&] { socket.Receive(buffer, 4, 0); }).text, "Receive");
    EXPECT_EQ(CatchSocketException([&] { socket.Send(buffer, 4, 0); }).text, "Send");
    EXPECT_EQ(CatchSocketException([&] { socket.Listen(); }).text, "Listen");
    CSockAddr address;
    EXPECT_EQ(CatchSocketException([&] { socket.GetPeerAddr(address); }).text, "GetPeerName");
    EXPECT_EQ(CatchSocketException([&] { socket.GetSockAddr(address); }).text, "GetSockName");
    CBlockingSocket other;
    const Thrown notListening = CatchSocketException([&] { socket.Accept(other, nullptr); });
    EXPECT_EQ(notListening.text, "Accept");
    EXPECT_EQ(notListening.error, 10009);

    // A port nobody listens on refuses the connection.
    CBlockingSocket probe;
    probe.Create();
    probe.Bind(kLoopbackAnyPort);
    CSockAddr unusedPort;
    probe.GetSockAddr(unusedPort);
    probe.Close();
    CBlockingSocket client;
    client.Create();
    const Thrown refused = CatchSocketException([&] { client.Connect(unusedPort); });
    EXPECT_EQ(refused.text, "Connect");
    EXPECT_EQ(refused.error, 10061);
    client.Close();
}

TEST(BlockingSocketStream, CopiesShareTheHandle) {
    CBlockingSocket original;
    original.Create(talvex::kSockDgram);
    CBlockingSocket copy(original);
    CBlockingSocket assigned;
    assigned = original;
    EXPECT_EQ(copy.m_hSocket, original.m_hSocket);
    EXPECT_EQ(static_cast<unsigned int>(assigned), original.m_hSocket);
    original.Close();
}

TEST(BlockingSocketDatagram, SendAndReceiveWithSenderAddress) {
    DatagramSocket a;
    DatagramSocket b;
    EXPECT_TRUE(HasCloseOnExec(a.socket));
    EXPECT_EQ(a.socket.SendDatagram("hello", 5, b.address, 1), 5);
    ASSERT_TRUE(WaitReadable(b.socket, 5000));
    char buffer[64];
    CSockAddr sender;
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, sender, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(sender.Port(), a.address.Port());
    EXPECT_EQ(sender.IPAddr(), 0x7F000001u);
}

TEST(BlockingSocketDatagram, OddDatagramsGiveMinusOne) {
    DatagramSocket a;
    DatagramSocket b;
    char buffer[16];
    CSockAddr sender;

    // Nothing waiting: no wait of its own, -1 with "would block".
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, sender, 5), -1);
    EXPECT_EQ(talvex::WSAGetLastError(), 10035);

    EXPECT_EQ(a.socket.SendDatagram("", 0, b.address, 1), 0);
    ASSERT_TRUE(WaitReadable(b.socket, 5000));
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, sender, 0), -1);

    const std::string large(100, 'L');
    std::vector<char> guarded(sizeof buffer + 8, 'G');
    EXPECT_EQ(a.socket.SendDatagram(large.data(), static_cast<int>(large.size()), b.address, 1), 100);
    ASSERT_TRUE(WaitReadable(b.socket, 5000));
    EXPECT_EQ(b.socket.ReceiveDatagram(guarded.data(), static_cast<int>(sizeof buffer), nullptr, 0), -1);
    EXPECT_EQ(talvex::WSAGetLastError(), 10040);
    EXPECT_EQ(guarded[sizeof buffer], 'G');

    // The oversized datagram was consumed; the next one arrives intact.
    EXPECT_EQ(a.socket.SendDatagram("ok", 2, b.address, 1), 2);
    ASSERT_TRUE(WaitReadable(b.socket, 5000));
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, sizeof buffer, nullptr, 0), 2);
    EXPECT_EQ(b.socket.ReceiveDatagram(buffer, -1, nullptr, 0), -1);
}

TEST(BlockingSocketDatagram, RejectedDestinationsReturnMinusOneWithoutThrowing) {
    DatagramSocket a;
    struct Case {
        const char* name;
        const sockaddr* destination;
        int count;
    };
    const CSockAddr portZero(0x7F000001u, 0);
    const Case cases[] = {
        {"port 0", portZero, 4},
        {"no destination", nullptr, 4},
        {"negative count", portZero, -4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        talvex::WSASetLastError(0);
        int result = 0;
        const Thrown thrown = CatchSocketException([&] { result = a.socket.SendDatagram("data", c.count, c.destination, 1); });
        EXPECT_EQ(thrown.text, "<no exception>");
        EXPECT_EQ(result, -1);
        EXPECT_NE(talvex::WSAGetLastError(), 0);
    }
}

// Runs `operation` with standard error redirected into a temporary file and returns
// what it wrote there.
template <typename Operation>
std::string CaptureStandardError(Operation&& operation) {
    std::fflush(stderr);
    char path[] = "/tmp/talvex_stderr_XXXXXX";
    const int capture = ::mkstemp(path);
    if (capture < 0) return "<no capture>";
    ::unlink(path);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(capture, STDERR_FILENO);
    operation();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text;
    char chunk[256];
    ::lseek(capture, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(capture, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
    ::close(capture);
    return text;
}

TEST(BlockingSocketBind, TakenPortIsReportedOnceAndBindReturns) {
    DatagramSocket holder;
    CBlockingSocket second;
    second.Create(talvex::kSockDgram);
    const std::uint16_t port = holder.address.Port();
    const auto start = std::chrono::steady_clock::now();
    const std::string report = CaptureStandardError([&] { second.Bind(holder.address); });
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2ms);  // two pauses between three attempts
    char expected[80];
    std::snprintf(expected, sizeof expected, "Socket Error: Konnte Port %04X nicht binden!\n",
                  static_cast<unsigned>(htons(port)));
    EXPECT_EQ(report, expected);
    EXPECT_EQ(talvex::WSAGetLastError(), 10048);
    // Still unbound: the system picks a fresh port for it.
    CSockAddr own;
    second.GetSockAddr(own);
    EXPECT_NE(own.Port(), port);
    second.Close();
}

TEST(BlockingSocketBind, MessageShowsThePortFieldAsStored) {
    CBlockingSocket unopened;  // no handle: every attempt fails
    const std::string report = CaptureStandardError([&] { unopened.Bind(CSockAddr(0x7F000001u, 4660)); });
    EXPECT_EQ(report, "Socket Error: Konnte Port 3412 nicht binden!\n");
}

TEST(BlockingSocketNames, ResolvesNumericAndLocalNames) {
    const CSockAddr numeric = CBlockingSocket::GetHostByName("127.0.0.2", 4660);
    EXPECT_EQ(numeric.sin_family, AF_INET);
    EXPECT_EQ(numeric.IPAddr(), 0x7F000002u);
    EXPECT_EQ(numeric.Port(), 4660);

    const CSockAddr local = CBlockingSocket::GetHostByName("localhost");
    EXPECT_EQ(local.IPAddr() >> 24, 127u);
    EXPECT_EQ(local.Port(), 0);

    const Thrown empty = CatchSocketException([] { CBlockingSocket::GetHostByName(""); });
    EXPECT_EQ(empty.text, "GetHostByName");
    EXPECT_GE(empty.error, 11001);
    EXPECT_LE(empty.error, 11004);
    EXPECT_EQ(CatchSocketException([] { CBlockingSocket::GetHostByName(nullptr); }).text, "GetHostByName");
    EXPECT_EQ(CatchSocketException([] { CBlockingSocket::GetHostByAddr(nullptr); }).text, "GetHostByAddr");

    const CSockAddr loopback(0x7F000001u, 0);
    const Thrown reverse = CatchSocketException([&] {
        const char* name = CBlockingSocket::GetHostByAddr(loopback);
        EXPECT_GT(std::strlen(name), 0u);
    });
    if (reverse.text != "<no exception>") {
        EXPECT_EQ(reverse.text, "GetHostByAddr");  // a system without a name for 127.0.0.1
    }
}

}  // namespace
