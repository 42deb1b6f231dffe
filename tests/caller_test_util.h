#pragma once
// Callers that serve the tests' procedures, word patterns to check their answers by,
// and a UDP relay that can drop or duplicate chosen datagrams between two callers.
#include "caller/DatagramSeam.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace callertest {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcEcho = 1;     // words N, seed: records the call, answers N pattern words
constexpr std::int32_t kProcSilent = 2;   // never answers
constexpr std::int32_t kProcEvent = 3;    // an event: records its first word, no answer
constexpr std::int32_t kProcQuit = 4;     // an event: asks a peer process to end
constexpr std::int32_t kProcSleep = 5;    // word ms: sleeps in the hook, then answers 1 word
constexpr std::int32_t kProcRecord = 10;  // records the call, answers one word: its length

inline std::int32_t Pattern(std::int64_t index, std::int32_t seed) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * 2654435761u + static_cast<std::uint32_t>(seed));
}
inline void AppendPattern(CUdpDataBlockEx* block, std::int32_t count, std::int32_t seed) {
    block->CheckBufferSize(count);
    for (std::int32_t i = 0; i < count; ++i) block->AppendLongData(Pattern(i, seed));
}
// Index of the first word that differs from the pattern, or -1 when all `words` match.
inline std::int64_t FirstPatternMismatch(const std::int32_t* data, std::int64_t words, std::int32_t seed) {
    for (std::int64_t i = 0; i < words; ++i)
        if (data[i] != Pattern(i, seed)) return i;
    return -1;
}
inline bool HoldsPattern(const CUdpDataBlockEx& block, std::int32_t count, std::int32_t seed) {
    return block.m_nLength == count && FirstPatternMismatch(block.m_pData, count, seed) == -1;
}
inline CUdpDataBlockEx EchoCall(std::int32_t count, std::int32_t seed) {
    CUdpDataBlockEx block(kProcEcho);
    block.AppendLongData(count);
    block.AppendLongData(seed);
    return block;
}
// A call of `words` pattern words.
inline std::unique_ptr<CUdpDataBlockEx> PatternCall(std::int32_t procedure, std::int32_t words, std::int32_t seed) {
    auto block = std::make_unique<CUdpDataBlockEx>(procedure);
    AppendPattern(block.get(), words, seed);
    return block;
}

// Serves the procedures above; Base is CRP_Caller or CRP_CallerEx.
template <typename Base>
class Serving : public Base {
public:
    ~Serving() override { this->StopDispatchThread(); }
    struct Seen {
        std::int32_t type = 0, procedure = 0, length = 0;
        std::vector<std::int32_t> data;
    };
    Seen LastCall() {
        std::scoped_lock lock(m_seenLock);
        return m_last;
    }
    // The caller's own return block, read under the caller's lock.
    CUdpDataBlockEx ReturnBlock() {
        std::scoped_lock lock(this->m_sendLock);
        return this->m_ReturnBlock;
    }
    std::atomic<int> callsServed{0}, eventsSeen{0};
    std::atomic<std::int32_t> lastEventValue{0};
    std::atomic<bool> quitRequested{false};
    std::int32_t broadcastAnswer = 0;

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        const std::int32_t procedure = block->m_nProcedure, length = block->m_nLength;
        if (procedure == kProcEcho || procedure == kProcRecord) {
            std::scoped_lock lock(m_seenLock);
            m_last = {block->m_nType, procedure, length, {block->m_pData, block->m_pData + length}};
        }
        const std::int32_t first = length > 0 ? block->GetLongData() : 0;
        if (procedure == kProcEvent) lastEventValue = first, ++eventsSeen;
        if (procedure == kProcQuit) quitRequested = true;
        if (procedure != kProcEcho && procedure != kProcRecord && procedure != kProcSleep) return;
        if (procedure == kProcSleep) std::this_thread::sleep_for(std::chrono::milliseconds(first));
        const std::int32_t seed = procedure == kProcEcho && length > 1 ? block->GetLongData() : 0;
        block->ResetForReturn();
        if (procedure == kProcEcho) AppendPattern(block, first, seed);
        else block->AppendLongData(procedure == kProcRecord ? length : 1);
        ++callsServed;
        this->SendReturn(block);
    }
    void DoBroadCastFunction(CUdpDataBlockEx* block) override {
        block->ResetForReturn();
        block->AppendLongData(broadcastAnswer);
        this->SendReturn(block);
    }

private:
    std::mutex m_seenLock;
    Seen m_last;
};
using TestCaller = Serving<CRP_Caller>;
using TestCallerEx = Serving<CRP_CallerEx>;

// Forwards datagrams between one client and a server on loopback; a filter may drop
// or duplicate chosen ones.
class UdpRelay {
public:
    enum class Way { ToServer, ToClient };
    enum class Verdict { Pass, Drop, Duplicate };
    using Filter = std::function<Verdict(Way, const std::int32_t* words, int bytes)>;
    struct Seen {
        std::int32_t type, chunkIndex, byteCount;
        int bytes;
    };

    UdpRelay(unsigned short serverPort, Filter filter)
        : m_filter(std::move(filter)), m_clientSide(OpenSocket()), m_serverSide(OpenSocket()) {
        m_server = {AF_INET, htons(serverPort), {htonl(kLoopback)}, {}};
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
        close(m_clientSide);
        close(m_serverSide);
    }
    unsigned short Port() const {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(m_clientSide, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }
    // Every datagram of message type `type` (all with -1) that reached the relay, in order.
    std::vector<Seen> Log(std::int32_t type = -1) {
        std::scoped_lock lock(m_logLock);
        std::vector<Seen> out;
        for (const Seen& s : m_log)
            if (type == -1 || s.type == type) out.push_back(s);
        return out;
    }

private:
    static int OpenSocket() {
        const int fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int buffer = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address{AF_INET, 0, {htonl(kLoopback)}, {}};
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }
    void Run() {
        alignas(4) char buffer[2048];
        while (!m_stop) {
            pollfd fds[2] = {{m_clientSide, POLLIN, 0}, {m_serverSide, POLLIN, 0}};
            if (poll(fds, 2, 20) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                socklen_t length = sizeof m_client;
                const auto n = recvfrom(m_clientSide, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&m_client), &length);
                if (n >= 0) Forward(Way::ToServer, buffer, static_cast<int>(n), m_serverSide, m_server);
            }
            if (fds[1].revents & POLLIN) {
                const auto n = recv(m_serverSide, buffer, sizeof buffer, 0);
                if (n >= 0) Forward(Way::ToClient, buffer, static_cast<int>(n), m_clientSide, m_client);
            }
        }
    }
    void Forward(Way way, const char* bytes, int size, int fd, const sockaddr_in& to) {
        const auto* words = reinterpret_cast<const std::int32_t*>(bytes);
        const bool chunk = size >= 32 && (words[0] == RP_MULTI_CALL || words[0] == RP_MULTI_RETURN);
        const Verdict verdict = m_filter ? m_filter(way, words, size) : Verdict::Pass;
        {
            std::scoped_lock lock(m_logLock);
            m_log.push_back({size >= 4 ? words[0] : -2, chunk ? words[6] : -1, chunk ? words[7] : -1, size});
        }
        for (int i = verdict == Verdict::Drop ? 2 : verdict == Verdict::Duplicate ? 0 : 1; i < 2; ++i)
            sendto(fd, bytes, static_cast<size_t>(size), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }

    Filter m_filter;
    sockaddr_in m_server{}, m_client{};
    int m_clientSide, m_serverSide;
    std::atomic<bool> m_stop{false};
    std::mutex m_logLock;
    std::vector<Seen> m_log;
    std::thread m_thread;
};

// Takes what a caller sends instead of the socket, so a test can answer at will.
class SentPackets : public talvex::DatagramSink {
public:
    void OnSend(const std::int32_t* packet, int bytes, const CSockAddr&) override {
        std::scoped_lock lock(m_lock);
        m_sent.emplace_back(packet, packet + bytes / 4);
        m_changed.notify_all();
    }
    // The n-th packet sent (from 0), waiting up to 5 s for it; empty if none came.
    std::vector<std::int32_t> Packet(std::size_t n) {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_sent.size() > n; });
        return m_sent.size() > n ? m_sent[n] : std::vector<std::int32_t>{};
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::vector<std::int32_t>> m_sent;
};

}  // namespace callertest
