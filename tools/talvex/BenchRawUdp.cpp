#include "BenchRawUdp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

namespace {

sockaddr_in LoopbackAddress(unsigned short port, std::uint32_t hostAddress) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(hostAddress);
    return address;
}

constexpr int kSocketBufferBytes = 512 * 1024;   // as large as the library asks for its sockets

}  // namespace

UdpSocket::UdpSocket() {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return;
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
    sockaddr_in address = LoopbackAddress(0, kLoopback);
    socklen_t length = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
}

UdpSocket::~UdpSocket() {
    if (m_fd >= 0) ::close(m_fd);
}

void UdpSocket::SetReceiveTimeout(std::chrono::milliseconds timeout) {
    timeval value{};
    value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>(timeout.count() % 1000 * 1000);
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
}

bool UdpSocket::SendTo(const void* bytes, int size, unsigned short port, std::uint32_t hostAddress) {
    const sockaddr_in address = LoopbackAddress(port, hostAddress);
    return ::sendto(m_fd, bytes, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&address),
                    sizeof address) == size;
}

int UdpSocket::Receive(void* buffer, int capacity) {
    return static_cast<int>(::recv(m_fd, buffer, static_cast<size_t>(capacity), 0));
}

// ---- echo ---------------------------------------------------------------------------

RawEcho::RawEcho(Answer answer) : m_answer(answer) {
    m_socket.SetReceiveTimeout(std::chrono::milliseconds(100));   // so the thread sees the stop flag
    m_thread = std::thread([this] { Serve(); });
}

RawEcho::~RawEcho() {
    m_stop = true;
    m_thread.join();
}

void RawEcho::Serve() {
    char buffer[2048];
    while (!m_stop) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t size =
            ::recvfrom(m_socket.Descriptor(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (size < 0) continue;
        const size_t answer = m_answer == Answer::Mirror ? static_cast<size_t>(size) : kAcknowledgeBytes;
        ::sendto(m_socket.Descriptor(), buffer, answer, 0, reinterpret_cast<sockaddr*>(&from), length);
    }
}

// ---- client -------------------------------------------------------------------------

RawClient::RawClient(unsigned short echoPort)
    : m_echoPort(echoPort), m_packet(kFullDatagramBytes, 0), m_answer(2048, 0) {
    m_socket.SetReceiveTimeout(std::chrono::milliseconds(1000));
}

bool RawClient::Exchange(int bytes) {
    return m_socket.SendTo(m_packet.data(), bytes, m_echoPort) &&
           m_socket.Receive(m_answer.data(), static_cast<int>(m_answer.size())) > 0;
}

std::optional<double> RawClient::RoundTrip(int bytes) {
    const auto start = Clock::now();
    if (!Exchange(bytes)) return std::nullopt;
    return MicrosSince(start);
}

std::optional<double> RawClient::BackToBack(int bytes, int count) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        if (!Exchange(bytes)) return std::nullopt;
    return MicrosSince(start) / count;
}

std::optional<double> RawClient::StopAndWait(std::int64_t payloadBytes) {
    const std::int64_t datagrams = (payloadBytes + kFullPayloadBytes - 1) / kFullPayloadBytes;
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < datagrams; ++i)
        if (!Exchange(kFullDatagramBytes)) return std::nullopt;
    return MicrosSince(start);
}

}  // namespace bench
