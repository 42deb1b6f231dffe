#pragma once
// A lossy wire for tests: a UDP relay thread between one client and one server on
// loopback. It drops, duplicates, delays and so reorders datagrams at given rates,
// driven by a fixed seed so that a run can be repeated, and a filter may decide the
// fate of chosen datagrams. It keeps a log of what reached it. Header-only, so
// any test program can use it without a build change.
#include "support/loopback.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
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

class UdpRelay {
public:
    enum class Way { ToServer, ToClient };
    enum class Verdict { Pass, Drop, Duplicate };
    // Decides a datagram's fate before the random faults do (which then pass it on).
    using Filter = std::function<Verdict(Way, const std::int32_t* words, int bytes)>;
    // A datagram as it reached the relay: word 0, and words 6 and 7 (a chunk's index
    // and byte count) when it is long enough for a chunk header, else -1.
    struct Seen {
        std::int32_t type, chunkIndex, byteCount;
        int bytes;
    };

    // Relays between whoever sends to Port() and the server at 127.0.0.1:serverPort.
    explicit UdpRelay(std::uint16_t serverPort, const RelayFaults& faults = {}, Filter filter = nullptr)
        : m_faults(faults), m_filter(std::move(filter)), m_random(faults.seed), m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
          m_server(LoopbackAddress(serverPort)), m_clientSide(OpenSocket()), m_serverSide(OpenSocket()) {
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_stop = true;
        const std::uint64_t one = 1;
        (void)!::write(m_wake, &one, sizeof one);
        m_thread.join();
        ::close(m_wake);
    }

    // The port the client sends to.
    std::uint16_t Port() const { return LocalPort(m_clientSide); }
    // Every datagram with word 0 `type` (all with -1) that reached the relay, in order.
    std::vector<Seen> Log(std::int32_t type = -1) const {
        std::scoped_lock lock(m_lock);
        std::vector<Seen> out;
        std::copy_if(m_log.begin(), m_log.end(), std::back_inserter(out), [&](const Seen& s) { return type == -1 || s.type == type; });
        return out;
    }

private:
    using Clock = std::chrono::steady_clock;

    // A datagram waiting for its time; equal times keep their arrival order.
    struct Held {
        Clock::time_point due;
        std::uint64_t order;
        bool toServer;
        std::vector<char> bytes;
        bool operator>(const Held& other) const { return due != other.due ? due > other.due : order > other.order; }
    };

    static Fd OpenSocket() {
        Fd fd = BoundLoopback(SOCK_DGRAM);
        const int buffer = 4 << 20;
        for (const int option : {SO_RCVBUF, SO_SNDBUF}) ::setsockopt(fd.Get(), SOL_SOCKET, option, &buffer, sizeof buffer);
        return fd;
    }

    bool Chance(double rate) { return rate > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(m_random) < rate; }
    Clock::duration RandomDelay() {
        const auto most = std::chrono::duration_cast<std::chrono::microseconds>(m_faults.maxDelay).count();
        return std::chrono::microseconds(std::uniform_int_distribution<long long>(0, std::max<long long>(most, 0))(m_random));
    }

    void Run() {
        std::vector<char> buffer(65536);
        while (!m_stop) {
            int wait = -1;
            if (!m_held.empty())
                wait = static_cast<int>(std::clamp<long long>(std::chrono::ceil<std::chrono::milliseconds>(m_held.top().due - Clock::now()).count(), 0, 1000));
            pollfd fds[3] = {{m_clientSide.Get(), POLLIN, 0}, {m_serverSide.Get(), POLLIN, 0}, {m_wake, POLLIN, 0}};
            ::poll(fds, 3, wait);
            for (const bool toServer : {true, false}) {
                if (!(fds[toServer ? 0 : 1].revents & POLLIN)) continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const ssize_t n = ::recvfrom(fds[toServer ? 0 : 1].fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                             reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 0) continue;
                if (toServer) m_client = from;
                Judge(toServer, buffer.data(), static_cast<int>(n));
            }
            while (!m_held.empty() && m_held.top().due <= Clock::now()) {   // release what is due
                const Held& next = m_held.top();
                const sockaddr_in& to = next.toServer ? m_server : m_client;
                ::sendto((next.toServer ? m_serverSide : m_clientSide).Get(), next.bytes.data(), next.bytes.size(), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
                m_held.pop();
            }
        }
    }

    // Decides the datagram's fate and queues what is to be sent.
    void Judge(bool toServer, const char* bytes, int size) {
        std::vector<std::int32_t> words((static_cast<std::size_t>(size) + 3) / 4);
        if (size > 0) std::memcpy(words.data(), bytes, static_cast<std::size_t>(size));
        const Verdict verdict = m_filter ? m_filter(toServer ? Way::ToServer : Way::ToClient, words.data(), size) : Verdict::Pass;
        std::scoped_lock lock(m_lock);
        m_log.push_back({size >= 4 ? words[0] : -2, size >= 32 ? words[6] : -1, size >= 32 ? words[7] : -1, size});
        if (verdict == Verdict::Drop || Chance(m_faults.dropRate)) return;
        Clock::time_point due = Clock::now();
        if (Chance(m_faults.delayRate)) due += RandomDelay();
        m_held.push(Held{due, m_order++, toServer, std::vector<char>(bytes, bytes + size)});
        if (verdict == Verdict::Duplicate || Chance(m_faults.duplicateRate)) {
            // the copy follows at once, or, when delays are on, somewhat later
            const Clock::time_point copyDue = m_faults.delayRate > 0.0 ? due + RandomDelay() / 2 : due;
            m_held.push(Held{copyDue, m_order++, toServer, std::vector<char>(bytes, bytes + size)});
        }
    }

    RelayFaults m_faults;
    Filter m_filter;
    std::mt19937 m_random;
    int m_wake;
    sockaddr_in m_server, m_client{};
    Fd m_clientSide, m_serverSide;
    std::priority_queue<Held, std::vector<Held>, std::greater<Held>> m_held;
    std::uint64_t m_order = 0;
    mutable std::mutex m_lock;
    std::vector<Seen> m_log;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace testsupport
