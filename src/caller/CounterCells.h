#pragma once
// The live counters of one caller: one relaxed atomic per counter, bumped on the
// paths that do the counted thing, and the caller's address, peer and kind for the
// published page. Every CounterCells is listed in a process-wide registry while it
// lives, so that the publisher can read all callers of the process.
#include "talvex05u/caller/CallerCounters.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

namespace talvex {

// One entry per field of CallerCounters, in the same order.
enum class Counter : std::size_t {
    kCalls, kAnswered, kTimedOut, kBroken, kServed, kReturnsSent, kEventsSent, kEventsReceived,
    kPingsSent, kPingsAnswered, kBroadcasts, kBroadcastAnswers, kDatagramsIn, kDatagramsOut, kBytesIn,
    kBytesOut, kMalformed, kUnmatchedReturns, kChunksSent, kChunksReceived, kChunkTriesRepeated,
    kChunksRefused, kSocketErrors, kSocketRecoveries, kShmCalls, kShmTimeouts, kInboxOverflows, kAcknowledgementStalls, kRefusedSources,
    kAnswersCutShort, kEnd
};
static_assert(static_cast<std::size_t>(Counter::kEnd) == kCounterCount, "one Counter per field of CallerCounters");

// What kind of caller counts: a plain one or an extended one.
enum class CallerKind : std::uint32_t { kPlain = 0, kExtended = 1 };

// Where a caller listens and whom it calls, as the published page shows it (host order).
struct CallerIdentity {
    std::uint32_t ownAddress = 0;
    std::uint16_t ownPort = 0;
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    CallerKind kind = CallerKind::kPlain;
};

class alignas(64) CounterCells {
public:
    CounterCells();    // enters the registry
    ~CounterCells();   // leaves it
    CounterCells(const CounterCells&) = delete;
    CounterCells& operator=(const CounterCells&) = delete;

    void Add(Counter counter, std::uint64_t amount = 1) {
        m_cells[static_cast<std::size_t>(counter)].fetch_add(amount, std::memory_order_relaxed);
    }
    // One datagram of `bytes` bytes received or sent.
    void DatagramIn(int bytes) {
        Add(Counter::kDatagramsIn);
        Add(Counter::kBytesIn, static_cast<std::uint64_t>(bytes));
    }
    void DatagramOut(int bytes) {
        Add(Counter::kDatagramsOut);
        Add(Counter::kBytesOut, static_cast<std::uint64_t>(bytes));
    }
    CallerCounters Snapshot() const;

    void SetOwn(std::uint32_t address, std::uint16_t port);
    void SetPeer(std::uint32_t address, std::uint16_t port);
    void SetKind(CallerKind kind) { m_kind.store(static_cast<std::uint32_t>(kind), std::memory_order_relaxed); }
    CallerIdentity Identity() const;

private:
    std::array<std::atomic<std::uint64_t>, kCounterCount> m_cells{};
    std::atomic<std::uint64_t> m_own{0};    // address << 16 | port
    std::atomic<std::uint64_t> m_peer{0};
    std::atomic<std::uint32_t> m_kind{0};
};

// Calls `visit` for every caller's counters that live now, with the registry held
// (so none of them goes away meanwhile). Keep `visit` short: callers wait for it to
// be made or destroyed.
void VisitCounterCells(const std::function<void(const CounterCells&)>& visit);

}  // namespace talvex
