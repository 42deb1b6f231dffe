#pragma once
// A caller that serves the tests' procedures, and helpers to build and check the
// word patterns of its answers.
#include "talvex05u/caller/RP_Caller.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace callertest {

// Procedures the test caller serves.
constexpr std::int32_t kProcEcho = 1;     // argument N: answers N pattern words
constexpr std::int32_t kProcSilent = 2;   // never answers
constexpr std::int32_t kProcEvent = 3;    // an event: records its arguments, no answer
constexpr std::int32_t kProcQuit = 4;     // an event: asks a peer process to end
constexpr std::int32_t kProcSleep = 5;    // argument ms: sleeps in the hook, then answers 1 word

inline std::int32_t Pattern(std::int32_t index, std::int32_t seed) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * 2654435761u + static_cast<std::uint32_t>(seed));
}

// Fills `block` as the answer of N pattern words for `seed`.
inline void AppendPattern(CUdpDataBlockEx* block, std::int32_t count, std::int32_t seed) {
    for (std::int32_t i = 0; i < count; ++i) block->AppendLongData(Pattern(i, seed));
}

// True when `block` holds exactly `count` pattern words for `seed`.
inline bool HoldsPattern(const CUdpDataBlockEx& block, std::int32_t count, std::int32_t seed) {
    if (block.m_nLength != count) return false;
    for (std::int32_t i = 0; i < count; ++i)
        if (block.m_pData[i] != Pattern(i, seed)) return false;
    return true;
}

class TestCaller : public CRP_Caller {
public:
    TestCaller() = default;
    ~TestCaller() override { StopDispatchThread(); }

    std::atomic<int> eventsSeen{0};
    std::atomic<std::int32_t> lastEventValue{0};
    std::atomic<int> callsServed{0};
    std::atomic<int> broadcastsServed{0};
    std::atomic<bool> quitRequested{false};
    std::int32_t broadcastAnswer = 0;   // value the broadcast hook answers with

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        switch (block->m_nProcedure) {
        case kProcEcho: {
            const std::int32_t count = block->GetLongData();
            const std::int32_t seed = block->GetLongData();
            block->ResetForReturn();
            AppendPattern(block, count, seed);
            ++callsServed;
            SendReturn(block);
            break;
        }
        case kProcSleep: {
            std::this_thread::sleep_for(std::chrono::milliseconds(block->GetLongData()));
            block->ResetForReturn();
            block->AppendLongData(1);
            SendReturn(block);
            break;
        }
        case kProcEvent:
            lastEventValue = block->GetLongData();
            ++eventsSeen;
            break;
        case kProcQuit:
            quitRequested = true;
            break;
        default:
            break;   // kProcSilent and everything else: no answer
        }
    }
    void DoBroadCastFunction(CUdpDataBlockEx* block) override {
        block->ResetForReturn();
        block->AppendLongData(broadcastAnswer);
        ++broadcastsServed;
        SendReturn(block);
    }
};

// A call block asking the peer's echo for `count` words.
inline CUdpDataBlockEx EchoCall(std::int32_t count, std::int32_t seed) {
    CUdpDataBlockEx block(kProcEcho);
    block.AppendLongData(count);
    block.AppendLongData(seed);
    return block;
}

}  // namespace callertest
