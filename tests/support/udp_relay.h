#pragma once
// A lossy wire for tests: a UDP relay thread between one client and one server on
// loopback that drops, duplicates, delays and so reorders datagrams at given rates,
// driven by a fixed seed so that a run can be repeated. Header-only, so any test
// program can use it without a build change.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

namespace testsupport {

// What the relay does to each datagram; rates are probabilities from 0 to 1.
struct RelayFaults {
    double dropRate = 0.0;        // the datagram is lost
    double duplicateRate = 0.0;   // a second copy follows shortly after
    double delayRate = 0.0;       // held back up to maxDelay, so later ones overtake it
    std::chrono::milliseconds maxDelay{5};
    std::uint32_t seed = 1;
};

// How many datagrams met which fate.
struct RelayCounts {
    std::uint64_t received = 0, dropped = 0, duplicated = 0, delayed = 0;
};

class UdpRelay {
public:
    // Relays between whoever sends to Port() and the server at 127.0.0.1:serverPort.
    UdpRelay(std::uint16_t serverPort, const RelayFaults& faults)
        : m_faults(faults), m_random(faults.seed), m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        m_server = Loopback(serverPort);
        m_clientSide = OpenLoopbackSocket();
        m_serverSide = OpenLoopbackSocket();
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay()
    {
        m_stop = true;
        const std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
        m_thread.join();
        ::close(m_clientSide);
        ::close(m_serverSide);
        ::close(m_wake);
    }
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // The port the client sends to.
    std::uint16_t Port() const
    {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        ::getsockname(m_clientSide, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    RelayCounts Counts() const
    {
        std::scoped_lock lock(m_countLock);
        return m_counts;
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxDatagram = 65536;

    // A datagram waiting for its time.
    struct Held {
        Clock::time_point due;
        std::uint64_t order;   // keeps equal times in arrival order
        bool toServer;
        std::vector<char> bytes;
        bool operator>(const Held& other) const
        {
            return due != other.due ? due > other.due : order > other.order;
        }
    };

    static sockaddr_in Loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }
    static int OpenLoopbackSocket()
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int buffer = 4 << 20;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        const sockaddr_in address = Loopback(0);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        return fd;
    }

    bool Chance(double rate) { return rate > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < rate; }
    Clock::duration RandomDelay()
    {
        const auto most = std::chrono::duration_cast<std::chrono::microseconds>(m_faults.maxDelay).count();
        return std::chrono::microseconds(std::uniform_int_distribution<long long>(0, std::max<long long>(most, 0))(m_random));
    }

    int MillisecondsToNextRelease() const
    {
        if (m_held.empty())
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_held.top().due - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left, 0, 1000));
    }

    void Run()
    {
        std::vector<char> buffer(kMaxDatagram);
        while (!m_stop) {
            pollfd fds[3] = {{m_clientSide, POLLIN, 0}, {m_serverSide, POLLIN, 0}, {m_wake, POLLIN, 0}};
            ::poll(fds, 3, MillisecondsToNextRelease());
            if (fds[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = ::recvfrom(m_clientSide, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &length);
                if (n >= 0) {
                    m_client = from;
                    Judge(true, buffer.data(), static_cast<std::size_t>(n));
                }
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t n = ::recv(m_serverSide, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (n >= 0)
                    Judge(false, buffer.data(), static_cast<std::size_t>(n));
            }
            ReleaseDue();
        }
    }

    // Decides the datagram's fate and queues what is to be sent.
    void Judge(bool toServer, const char* bytes, std::size_t size)
    {
        std::scoped_lock lock(m_countLock);
        ++m_counts.received;
        if (Chance(m_faults.dropRate)) {
            ++m_counts.dropped;
            return;
        }
        Clock::time_point due = Clock::now();
        if (Chance(m_faults.delayRate)) {
            ++m_counts.delayed;
            due += RandomDelay();
        }
        m_held.push(Held{due, m_order++, toServer, std::vector<char>(bytes, bytes + size)});
        if (Chance(m_faults.duplicateRate)) {
            ++m_counts.duplicated;
            // The copy follows at once, or, when delays are on, somewhat later.
            const Clock::time_point copyDue = m_faults.delayRate > 0.0 ? due + RandomDelay() / 2 : due;
            m_held.push(Held{copyDue, m_order++, toServer, std::vector<char>(bytes, bytes + size)});
        }
    }

    void ReleaseDue()
    {
        while (!m_held.empty() && m_held.top().due <= Clock::now()) {
            const Held& next = m_held.top();
            const int fd = next.toServer ? m_serverSide : m_clientSide;
            const sockaddr_in& to = next.toServer ? m_server : m_client;
            ::sendto(fd, next.bytes.data(), next.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            m_held.pop();
        }
    }

    RelayFaults m_faults;
    std::mt19937 m_random;
    int m_wake;
    sockaddr_in m_server{};
    sockaddr_in m_client{};
    int m_clientSide = -1;
    int m_serverSide = -1;
    std::priority_queue<Held, std::vector<Held>, std::greater<Held>> m_held;
    std::uint64_t m_order = 0;
    mutable std::mutex m_countLock;
    RelayCounts m_counts;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace testsupport
