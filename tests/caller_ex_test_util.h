#pragma once
// Two extended callers on loopback for the chunked-transfer tests: a serving caller
// that records the calls it sees and answers with as many words as asked, and a UDP
// relay that can drop or duplicate chosen datagrams between them.
#include "talvex05u/caller/RP_CallerEx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace cextest {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcRecord = 10;   // records the call, answers one word: its length
constexpr std::int32_t kProcAnswer = 11;   // records the call; first word N, second a seed: answers N words

inline std::int32_t Pattern(std::int64_t index, std::int32_t seed) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * 2654435761u + static_cast<std::uint32_t>(seed));
}

// A call block of `words` words: for kProcAnswer the first two words are N and the seed.
inline std::unique_ptr<CUdpDataBlockEx> PatternCall(std::int32_t procedure, std::int32_t words, std::int32_t seed) {
    auto block = std::make_unique<CUdpDataBlockEx>(procedure);
    block->CheckBufferSize(words);
    for (std::int32_t i = 0; i < words; ++i) block->AppendLongData(Pattern(i, seed));
    return block;
}

// Index of the first word that differs from the pattern, or -1 when all `words` match.
inline std::int64_t FirstPatternMismatch(const std::int32_t* data, std::int64_t words, std::int32_t seed) {
    for (std::int64_t i = 0; i < words; ++i)
        if (data[i] != Pattern(i, seed)) return i;
    return -1;
}

class ServingCallerEx : public CRP_CallerEx {
public:
    ~ServingCallerEx() override { StopDispatchThread(); }

    struct Seen {
        std::int32_t type = 0, procedure = 0, length = 0;
        std::vector<std::int32_t> data;
    };
    Seen LastCall() {
        std::scoped_lock lock(m_seenLock);
        return m_last;
    }
    std::atomic<int> callsServed{0};

    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        {
            std::scoped_lock lock(m_seenLock);
            m_last.type = block->m_nType;
            m_last.procedure = block->m_nProcedure;
            m_last.length = block->m_nLength;
            m_last.data.assign(block->m_pData, block->m_pData + block->m_nLength);
        }
        const std::int32_t length = block->m_nLength;
        const std::int32_t asked = block->GetLongData();
        const std::int32_t seed = block->GetLongData();
        block->ResetForReturn();
        if (block->m_nProcedure == kProcAnswer) {
            block->CheckBufferSize(asked);
            for (std::int32_t i = 0; i < asked; ++i) block->AppendLongData(Pattern(i, seed));
        } else {
            block->AppendLongData(length);
        }
        ++callsServed;
        SendReturn(block);
    }

private:
    std::mutex m_seenLock;
    Seen m_last;
};

// Starts a caller of type T on a system-chosen loopback port with no peer; nullptr on failure.
template <typename T>
std::unique_ptr<T> StartOnLoopback() {
    auto caller = std::make_unique<T>();
    if (!caller->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) return nullptr;
    return caller;
}

// Points `client`'s calls and call chunks at `port` on loopback.
inline void Target(CRP_CallerEx& client, unsigned short port) {
    client.SetMultiTarget(port, kLoopback);
    client.SetRemoteSocket(port, kLoopback);
}

// Forwards datagrams between one client and a server, and lets a test drop or
// duplicate chosen ones.
class UdpRelay {
public:
    enum class Way { ToServer, ToClient };
    enum class Verdict { Pass, Drop, Duplicate };
    using Filter = std::function<Verdict(Way, const std::int32_t* words, int bytes)>;
    struct Seen {
        Way way;
        std::int32_t type, chunkIndex, byteCount;
        int bytes;
    };

    UdpRelay(unsigned short serverPort, Filter filter) : m_filter(std::move(filter)) {
        m_server.sin_family = AF_INET;
        m_server.sin_port = htons(serverPort);
        m_server.sin_addr.s_addr = htonl(kLoopback);
        m_clientSide = OpenSocket();
        m_serverSide = OpenSocket();
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
        close(m_clientSide);
        close(m_serverSide);
    }
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    unsigned short Port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(m_clientSide, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    std::vector<Seen> Log() {
        std::scoped_lock lock(m_logLock);
        return m_log;
    }
    // The chunks of message type `type` that passed the relay, in order.
    std::vector<Seen> Chunks(std::int32_t type) {
        std::vector<Seen> chunks;
        for (const Seen& s : Log())
            if (s.type == type) chunks.push_back(s);
        return chunks;
    }

private:
    static int OpenSocket() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(kLoopback);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }
    void Run() {
        alignas(4) char buffer[2048];
        while (!m_stop) {
            pollfd fds[2] = {{m_clientSide, POLLIN, 0}, {m_serverSide, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                sockaddr_in from{};
                socklen_t length = sizeof from;
                const auto n = recvfrom(m_clientSide, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n >= 0) {
                    m_client = from;
                    Forward(Way::ToServer, buffer, static_cast<int>(n), m_serverSide, m_server);
                }
            }
            if (fds[1].revents & POLLIN) {
                const auto n = recv(m_serverSide, buffer, sizeof buffer, 0);
                if (n >= 0) Forward(Way::ToClient, buffer, static_cast<int>(n), m_clientSide, m_client);
            }
        }
    }
    void Forward(Way way, const char* bytes, int size, int fd, const sockaddr_in& to) {
        const auto* words = reinterpret_cast<const std::int32_t*>(bytes);
        Seen seen{way, size >= 4 ? words[0] : -1, -1, -1, size};
        if (size >= 32 && (seen.type == RP_MULTI_CALL || seen.type == RP_MULTI_RETURN)) {
            seen.chunkIndex = words[6];
            seen.byteCount = words[7];
        }
        const Verdict verdict = m_filter ? m_filter(way, words, size) : Verdict::Pass;
        {
            std::scoped_lock lock(m_logLock);
            m_log.push_back(seen);
        }
        if (verdict == Verdict::Drop) return;
        const int copies = verdict == Verdict::Duplicate ? 2 : 1;
        for (int i = 0; i < copies; ++i)
            sendto(fd, bytes, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    Filter m_filter;
    sockaddr_in m_server{};
    sockaddr_in m_client{};
    int m_clientSide = -1;
    int m_serverSide = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_logLock;
    std::vector<Seen> m_log;
    std::thread m_thread;
};

}  // namespace cextest
