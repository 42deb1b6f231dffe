#pragma once
// Loopback sockets owned by a test: bound on a port the system chose, or connected.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

// A socket descriptor closed by the destructor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    int Get() const { return m_fd; }
    void Reset() { if (m_fd >= 0) ::close(m_fd); m_fd = -1; }
private:
    int m_fd;
};

inline sockaddr_in LoopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET, address.sin_port = htons(port), address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t LocalPort(const Fd& fd) {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// Sends `size` bytes from `from` to 127.0.0.1:port.
inline void SendTo(const Fd& from, std::uint16_t port, const void* bytes, std::size_t size) {
    const sockaddr_in to = LoopbackAddress(port);
    ::sendto(from.Get(), bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// A socket of `type` bound to 127.0.0.1 on a free port; listening when backlog >= 0.
inline Fd BoundLoopback(int type, int backlog = -1) {
    Fd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_in address = LoopbackAddress(0);
    bool ok = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok || (backlog >= 0 && ::listen(fd.Get(), backlog) != 0)) fd.Reset();
    return fd;
}

// A TCP connection to 127.0.0.1:port (a non-blocking one may still be under way).
inline Fd ConnectLoopback(std::uint16_t port, int flags = 0) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    sockaddr_in address = LoopbackAddress(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && flags == 0) fd.Reset();
    return fd;
}

}  // namespace testsupport
