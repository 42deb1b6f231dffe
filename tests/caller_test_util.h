#pragma once
// Callers that serve the tests' procedures, word patterns to check their answers by,
// and a sink that takes what a caller sends instead of its socket.
#include "caller/DatagramSeam.h"
#include "support/udp_relay.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace callertest {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcEcho = 1;     // words N, seed: records the call, answers N pattern words
constexpr std::int32_t kProcSilent = 2;   // never answers
constexpr std::int32_t kProcEvent = 3;    // an event: records its first word, no answer
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
        std::scoped_lock lock(this->m_callLock);
        return this->m_ReturnBlock;
    }
    std::atomic<int> callsServed{0}, eventsSeen{0};
    std::atomic<std::int32_t> lastEventValue{0};
    std::int32_t broadcastAnswer = 0;
    int broadcastDelayMs = 0;   // a slow server of broadcasts
    // A dispatcher that lags that long after every so many arriving return chunks.
    std::atomic<int> returnChunkDelayMs{0}, returnChunkDelayEvery{1};
    std::atomic<bool> inSleep{false};   // true while a kProcSleep call sleeps in the hook

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        const std::int32_t procedure = block->m_nProcedure, length = block->m_nLength;
        if (procedure == kProcEcho || procedure == kProcRecord) {
            std::scoped_lock lock(m_seenLock);
            m_last = {block->m_nType, procedure, length, {block->m_pData, block->m_pData + length}};
        }
        const std::int32_t first = length > 0 ? block->GetLongData() : 0;
        if (procedure == kProcEvent) lastEventValue = first, ++eventsSeen;
        if (procedure != kProcEcho && procedure != kProcRecord && procedure != kProcSleep) return;
        if (procedure == kProcSleep) inSleep = true, std::this_thread::sleep_for(std::chrono::milliseconds(first)), inSleep = false;
        const std::int32_t seed = procedure == kProcEcho && length > 1 ? block->GetLongData() : 0;
        block->ResetForReturn();
        if (procedure == kProcEcho) AppendPattern(block, first, seed);
        else block->AppendLongData(procedure == kProcRecord ? length : 1);
        ++callsServed;
        this->SendReturn(block);
    }
    bool SendReturnMulti(CUdpDataBlockEx* block) override {
        if constexpr (std::is_same_v<Base, CRP_CallerEx>)
            if (++m_returnChunks % returnChunkDelayEvery == 0) std::this_thread::sleep_for(std::chrono::milliseconds(returnChunkDelayMs.load()));
        return Base::SendReturnMulti(block);
    }
    void DoBroadCastFunction(CUdpDataBlockEx* block) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(broadcastDelayMs));
        block->ResetForReturn();
        block->AppendLongData(broadcastAnswer);
        this->SendReturn(block);
    }

private:
    std::mutex m_seenLock;
    Seen m_last;
    int m_returnChunks = 0;   // dispatch thread only
};
using TestCaller = Serving<CRP_Caller>;
using TestCallerEx = Serving<CRP_CallerEx>;

using testsupport::UdpRelay;

// Takes what a caller sends instead of the socket, so a test can answer at will.
// Seam tests, which send from their own thread, read `sent` directly.
class SentPackets : public talvex::DatagramSink {
public:
    struct Sent {
        std::vector<std::int32_t> words;
        int bytes, port;
    };
    void OnSend(const std::int32_t* packet, int bytes, const CSockAddr& to) override {
        std::scoped_lock lock(m_lock);
        sent.push_back({{packet, packet + (bytes + 3) / 4}, bytes, to.Port()});
        m_changed.notify_all();
    }
    // The n-th packet sent (from 0), waiting up to 5 s for it; empty if none came.
    std::vector<std::int32_t> Packet(std::size_t n) {
        std::unique_lock lock(m_lock);
        m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return sent.size() > n; });
        return sent.size() > n ? sent[n].words : std::vector<std::int32_t>{};
    }
    std::vector<Sent> sent;

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
};

// Runs the dispatcher of `caller` on `words` (the first `bytes` of them, default
// all) as if the datagram came from port `from` on loopback.
inline void Feed(CRP_Caller& caller, std::vector<std::int32_t> words, int bytes = -1, std::uint16_t from = 4000) {
    if (bytes < 0) bytes = static_cast<int>(words.size() * 4);
    words.resize(512, 0);
    talvex::DatagramSeam::Handle(caller, words.data(), bytes, CSockAddr(kLoopback, from));
}

}  // namespace callertest
