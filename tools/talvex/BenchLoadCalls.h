#pragma once
// The calls of the load family of `talvex bench`: the serving callers (an extended one
// for echo and chunked answers, a plain one for pulled answers), the client callers of
// one thread, one checked call of each kind, and the loops that one client thread runs
// back to back until its deadline, through the library or through a raw UDP socket.
#include "BenchHarness.h"

#include <Talvex05u.h>

#include <array>
#include <cstdint>
#include <memory>

namespace bench {

enum LoadProcedure : std::int32_t {
    kLoadEcho = 21,      // answers the call's words unchanged
    kLoadPattern = 22,   // call [seed, n]: answers n pattern words of the seed
};

constexpr std::int32_t kLoadShortWords = 4;         // a short call and its answer: one packet each way
constexpr std::int32_t kLoadPulledWords = 700;      // two packets: the second one pulled with RP_NEXT_PACKET
constexpr std::int32_t kLoadChunkedWords = 20000;   // 58 return chunks
constexpr std::int32_t kLoadTimeoutMs = 2000;       // every call's time-out, library and raw alike

// The word at `index` of the answer a call with `seed` must get (echo and pattern alike).
std::int32_t PatternWord(std::int32_t seed, std::int32_t index);

enum class Workload { kShort, kMix };
const char* WorkloadName(Workload workload);

enum class CallKind : std::int32_t { kShort = 0, kPulled = 1, kChunked = 2 };
constexpr int kCallKindCount = 3;
const char* CallKindName(CallKind kind);
// The kind of call number `index` of a thread: always short, or 8 short : 1 pulled : 1 chunked.
CallKind KindInRotation(Workload workload, std::int64_t index);

// How the calls of one kind ended: the right answer, false from CallProcedure, or
// true with other words (an empty answer included).
struct Tally {
    std::int64_t right = 0;
    std::int64_t failed = 0;
    std::int64_t wrong = 0;
    void Add(const Tally& other);
};

// The calls of one or more client threads, by kind.
struct LoadCounts {
    std::array<Tally, kCallKindCount> byKind{};
    // Right answers that came before the run's deadline: the rate counts these, so that
    // calls still in flight at the deadline neither add to it nor stretch its time.
    std::int64_t rightInTime = 0;
    Tally Total() const;
    void Add(const LoadCounts& other);
};

// ---- serving side ----------------------------------------------------------------------------

// Turns a received load call into its answer in place; false (no answer) for anything else.
bool BuildLoadAnswer(CUdpDataBlockEx* block);

// Serves the short and chunked calls: answers past 350 words leave as chunks.
class LoadServerEx : public CRP_CallerEx {
public:
    LoadServerEx() = default;
    ~LoadServerEx() override;
    LoadServerEx(const LoadServerEx&) = delete;
    LoadServerEx& operator=(const LoadServerEx&) = delete;
    void DoRemoteFunction(CUdpDataBlockEx* block) override;
};

// Serves the pulled calls: answers past 350 words wait for the caller's RP_NEXT_PACKET requests.
class LoadServerPlain : public CRP_Caller {
public:
    LoadServerPlain() = default;
    ~LoadServerPlain() override;
    LoadServerPlain(const LoadServerPlain&) = delete;
    LoadServerPlain& operator=(const LoadServerPlain&) = delete;

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override;
};

// The two serving callers of one row, on 127.0.0.1 at ports the system chose.
struct LoadServers {
    std::unique_ptr<LoadServerEx> extended;
    std::unique_ptr<LoadServerPlain> plain;
    bool Start();
};

// ---- calling side ----------------------------------------------------------------------------

// The callers a client thread calls through: its own, or ones shared with other threads.
// `plain` is null for the short workload, which never pulls.
struct LoadCallers {
    CRP_CallerEx* extended = nullptr;
    CRP_Caller* plain = nullptr;
};

// Started client callers pointed at the servers' ports; stopped with the object.
class ClientCallers {
public:
    // False when a caller did not start; `plainPort` 0 makes no plain caller.
    bool Start(unsigned short extendedPort, unsigned short plainPort);
    LoadCallers Callers() const { return {m_extended.get(), m_plain.get()}; }

private:
    std::unique_ptr<CRP_CallerEx> m_extended;
    std::unique_ptr<CRP_Caller> m_plain;
};

// Calls of one client thread back to back from `seedBase` on, the rotation starting at
// `phase`, until `deadline` or kMaxCallsPerThread; counts every outcome.
LoadCounts RunLibraryThread(const LoadCallers& callers, Workload workload, std::int32_t seedBase, int phase,
                            Clock::time_point deadline);
// Raw request/answer exchanges of a short call's size with the raw UDP echo on `echoPort`
// (a datagram of 16 header bytes and 4 words each way), back to back until `deadline`.
LoadCounts RunRawThread(unsigned short echoPort, std::int32_t seedBase, Clock::time_point deadline);

constexpr std::int64_t kMaxCallsPerThread = 4'000'000;   // also keeps the seeds of two threads apart

}  // namespace bench
