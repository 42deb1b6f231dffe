// CBlockingSocket over POSIX sockets: each wait is one poll on this socket with a
// time-out in whole seconds; failures set the thread's last socket error from errno
// and throw a new CBlockingSocketException naming the operation.
#include "talvex05u/socket/BlockingSocket.h"

#include "talvex05u/platform/SocketError.h"
#include "socket/SocketWait.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

const CRuntimeClass classCBlockingSocket{"CBlockingSocket", &classCObject};

namespace {

constexpr int kListenBacklog = 5;
constexpr int kBindAttempts = 3;
constexpr auto kBindRetryPause = std::chrono::milliseconds(1);
constexpr socklen_t kAddressLength = sizeof(sockaddr_in);
constexpr int kInvalidArgument = 10022;
constexpr int kBadAddress = 10014;
constexpr int kMessageTooLong = 10040;

int ToFd(talvex::SocketHandle handle) { return handle == talvex::kInvalidSocket ? -1 : static_cast<int>(handle); }

talvex::SocketHandle ToHandle(int fd) { return fd < 0 ? talvex::kInvalidSocket : static_cast<talvex::SocketHandle>(fd); }

// Records errno as the last socket error and throws the exception for `operation`.
[[noreturn]] void ThrowFromErrno(const char* operation) {
    talvex::SetLastSocketErrorFromErrno();
    throw new CBlockingSocketException(operation);
}

[[noreturn]] void ThrowWithError(const char* operation, int socketError) {
    talvex::WSASetLastError(socketError);
    throw new CBlockingSocketException(operation);
}

// The failed bind goes before the user as one line on standard error.
void ReportBindFailure(const sockaddr* address) {
    std::uint16_t storedPort = 0;
    if (address != nullptr) storedPort = reinterpret_cast<const sockaddr_in*>(address)->sin_port;
    char line[64];
    const int length = std::snprintf(line, sizeof line, "Socket Error: Konnte Port %04X nicht binden!\n",
                                     static_cast<unsigned>(storedPort));
    if (length <= 0) return;
    const std::size_t size = static_cast<std::size_t>(length) < sizeof line ? static_cast<std::size_t>(length) : sizeof line - 1;
    const ssize_t written = ::write(STDERR_FILENO, line, size);
    (void)written;  // nothing more can be done when standard error is gone
}

bool IsListening(int fd) {
    int listening = 0;
    socklen_t size = sizeof listening;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

}  // namespace

CBlockingSocket::CBlockingSocket() : m_hSocket(talvex::kInvalidSocket) {}

CBlockingSocket::~CBlockingSocket() = default;

CBlockingSocket::CBlockingSocket(const CBlockingSocket& other) : CObject(), m_hSocket(other.m_hSocket) {}

const CBlockingSocket& CBlockingSocket::operator=(const CBlockingSocket& other) {
    m_hSocket = other.m_hSocket;
    return *this;
}

const CRuntimeClass* CBlockingSocket::GetRuntimeClass() const { return &classCBlockingSocket; }
const CRuntimeClass* CBlockingSocket::GetThisClass() { return &classCBlockingSocket; }

void CBlockingSocket::Create(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_hSocket = talvex::kInvalidSocket;
        ThrowFromErrno("Create");
    }
    m_hSocket = ToHandle(fd);
}

void CBlockingSocket::Bind(const sockaddr* address) {
    for (int attempt = 1; attempt <= kBindAttempts; ++attempt) {
        if (::bind(ToFd(m_hSocket), address, kAddressLength) == 0) return;
        talvex::SetLastSocketErrorFromErrno();
        if (attempt < kBindAttempts) std::this_thread::sleep_for(kBindRetryPause);
    }
    ReportBindFailure(address);
}

void CBlockingSocket::Listen() {
    if (::listen(ToFd(m_hSocket), kListenBacklog) != 0) ThrowFromErrno("Listen");
}

// A wait ended by a signal, or by Close on another thread (which shuts the listening
// socket down: accept then fails with EINVAL), is an interrupted wait: false, 10004.
bool CBlockingSocket::Accept(CBlockingSocket& connection, sockaddr* peer) {
    std::lock_guard<std::recursive_mutex> guard(m_csLock);
    const int listener = ToFd(m_hSocket);
    const bool wasListening = IsListening(listener);
    socklen_t length = kAddressLength;
    const int fd = ::accept4(listener, peer, peer != nullptr ? &length : nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        connection.m_hSocket = ToHandle(fd);
        return true;
    }
    connection.m_hSocket = talvex::kInvalidSocket;
    if (wasListening && (errno == EINVAL || errno == EBADF)) errno = EINTR;   // closed under us
    if (talvex::SetLastSocketErrorFromErrno() == talvex::MapErrnoToSocketError(EINTR)) return false;
    throw new CBlockingSocketException("Accept");
}

// A listening socket is shut down first: close alone does not wake an accept blocked
// on it in another thread, shutdown does. Other sockets are not, since shutdown
// would also end a connection for copies of the descriptor held elsewhere.
// On Linux a close interrupted by a signal has released the descriptor all the
// same, so only the other failures keep the handle.
void CBlockingSocket::Close() {
    const int fd = ToFd(m_hSocket);
    if (IsListening(fd)) {
        ::shutdown(fd, SHUT_RDWR);
        // The Accept that the shutdown ended lets go of the socket before it is closed.
        std::lock_guard<std::recursive_mutex> guard(m_csLock);
        CloseDescriptor(fd);
        return;
    }
    CloseDescriptor(fd);
}

void CBlockingSocket::CloseDescriptor(int fd) {
    if (::close(fd) != 0 && errno != EINTR) ThrowFromErrno("Close");
    m_hSocket = talvex::kInvalidSocket;
}

void CBlockingSocket::Connect(const sockaddr* address) {
    if (::connect(ToFd(m_hSocket), address, kAddressLength) != 0) ThrowFromErrno("Connect");
}

// Waits for writability, then sends what the socket takes now without blocking, so
// that a peer that stops reading can never hold the caller past the time-out; Write
// sends the rest.
int CBlockingSocket::Send(const char* bytes, int count, int seconds) {
    std::lock_guard<std::recursive_mutex> guard(m_csLock);
    if (count < 0) ThrowWithError("Send", kInvalidArgument);
    talvex::SocketWait wait(ToFd(m_hSocket), seconds);
    for (;;) {
        if (!wait.UntilWritable()) ThrowWithError("Send timeout", 0);
        const ssize_t sent = ::send(ToFd(m_hSocket), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return static_cast<int>(sent);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ThrowFromErrno("Send");
        if (wait.Expired()) ThrowWithError("Send timeout", 0);
    }
}

int CBlockingSocket::Write(const char* bytes, int count, int seconds) {
    int total = 0;
    while (total < count) {
        total += Send(bytes + total, count - total, seconds);
    }
    return total;
}

int CBlockingSocket::Receive(char* buffer, int size, int seconds) {
    if (size < 0) ThrowWithError("Receive", kInvalidArgument);
    talvex::SocketWait wait(ToFd(m_hSocket), seconds);
    for (;;) {
        if (!wait.UntilReadable()) ThrowWithError("Receive timeout", 0);
        const ssize_t received = ::recv(ToFd(m_hSocket), buffer, static_cast<std::size_t>(size), MSG_DONTWAIT);
        if (received >= 0) return static_cast<int>(received);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) ThrowFromErrno("Receive");
        if (wait.Expired()) ThrowWithError("Receive timeout", 0);
    }
}

int CBlockingSocket::SendDatagram(const char* bytes, int count, const sockaddr* destination, int seconds) {
    if (count < 0) {
        talvex::WSASetLastError(kInvalidArgument);
        return -1;
    }
    // A UDP socket is nearly always writable: try the send at once and wait for
    // writability only when the socket buffer is full, which saves a poll per datagram.
    const socklen_t length = destination != nullptr ? kAddressLength : 0;
    const auto sendOnce = [&] {
        return ::sendto(ToFd(m_hSocket), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT,
                        destination, length);
    };
    ssize_t sent = sendOnce();
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        talvex::SocketWait wait(ToFd(m_hSocket), seconds);
        if (!wait.UntilWritable()) ThrowWithError("Send timeout", 0);
        sent = sendOnce();
    }
    if (sent < 0) {
        talvex::SetLastSocketErrorFromErrno();
        return -1;
    }
    return static_cast<int>(sent);
}

// One receive, at once and without a lock. MSG_TRUNC makes the kernel report the
// datagram's real length, so a datagram larger than the buffer is recognised.
int CBlockingSocket::ReceiveDatagram(char* buffer, int size, sockaddr* sender, int /*seconds*/) {
    if (size < 0) {
        talvex::WSASetLastError(kInvalidArgument);
        return -1;
    }
    socklen_t length = kAddressLength;
    // Waits for a datagram like the socket's other operations (no time-out of its own).
    ssize_t received = 0;
    do {
        received = ::recvfrom(ToFd(m_hSocket), buffer, static_cast<std::size_t>(size), MSG_TRUNC, sender,
                              sender != nullptr ? &length : nullptr);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        talvex::SetLastSocketErrorFromErrno();
        return -1;
    }
    if (received > size) {
        talvex::WSASetLastError(kMessageTooLong);
        return -1;
    }
    if (received == 0) {
        talvex::WSASetLastError(0);  // an empty datagram is no socket failure
        return -1;
    }
    return static_cast<int>(received);
}

void CBlockingSocket::GetPeerAddr(sockaddr* address) {
    socklen_t length = kAddressLength;
    if (::getpeername(ToFd(m_hSocket), address, &length) != 0) ThrowFromErrno("GetPeerName");
}

void CBlockingSocket::GetSockAddr(sockaddr* address) {
    socklen_t length = kAddressLength;
    if (::getsockname(ToFd(m_hSocket), address, &length) != 0) ThrowFromErrno("GetSockName");
}

CSockAddr CBlockingSocket::GetHostByName(const char* name, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(name, nullptr, &hints, &found);
    if (result != 0 || found == nullptr || found->ai_addr == nullptr) {
        if (found != nullptr) ::freeaddrinfo(found);
        ThrowWithError("GetHostByName", talvex::MapResolverError(result != 0 ? result : EAI_NONAME));
    }
    sockaddr_in address = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    CSockAddr resolved(address);
    resolved.sin_family = AF_INET;
    resolved.sin_port = htons(port);
    return resolved;
}

std::optional<std::uint32_t> talvex::ResolveIPv4(const std::string& host) {
    if (host.empty() || host.find('\0') != std::string::npos) return std::nullopt;
    try {
        return ntohl(CBlockingSocket::GetHostByName(host.c_str()).sin_addr.s_addr);
    } catch (CBlockingSocketException* failure) {
        failure->Delete();
        return std::nullopt;
    }
}

// The name lives in a per-thread buffer, valid until this thread's next call.
const char* CBlockingSocket::GetHostByAddr(const sockaddr* address) {
    thread_local char hostName[NI_MAXHOST];
    if (address == nullptr) ThrowWithError("GetHostByAddr", kBadAddress);
    const int result = ::getnameinfo(address, kAddressLength, hostName, sizeof hostName, nullptr, 0, NI_NAMEREQD);
    if (result != 0) ThrowWithError("GetHostByAddr", talvex::MapResolverError(result));
    return hostName;
}

void CBlockingSocket::Cleanup() {
    if (m_hSocket == talvex::kInvalidSocket) return;
    if (IsListening(ToFd(m_hSocket))) ::shutdown(ToFd(m_hSocket), SHUT_RDWR);   // as Close: wakes an Accept
    ::close(ToFd(m_hSocket));
    m_hSocket = talvex::kInvalidSocket;
}
