#include "caller/CounterCells.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace talvex {

namespace {

// The live callers' counters of the process.
struct Registry {
    std::mutex lock;
    std::vector<const CounterCells*> cells;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;   // never destroyed: callers may outlive static destructors
    return *registry;
}

std::uint64_t Packed(std::uint32_t address, std::uint16_t port) {
    return static_cast<std::uint64_t>(address) << 16 | port;
}

constexpr std::array<const char*, kCounterCount> kNames = {
    "calls", "answered", "timed_out", "broken", "served", "returns_sent", "events_sent", "events_received",
    "pings_sent", "pings_answered", "broadcasts", "broadcast_answers", "datagrams_in", "datagrams_out", "bytes_in",
    "bytes_out", "malformed", "unmatched_returns", "chunks_sent", "chunks_received", "chunk_tries_repeated",
    "chunks_refused", "socket_errors", "socket_recoveries", "shm_calls", "shm_timeouts", "inbox_overflows", "acknowledgement_stalls",
    "refused_sources", "answers_cut_short"};

}  // namespace

const std::array<const char*, kCounterCount>& CounterNames() { return kNames; }

std::array<std::uint64_t, kCounterCount> CounterValues(const CallerCounters& counters) {
    static_assert(sizeof(CallerCounters) == kCounterCount * sizeof(std::uint64_t), "no padding between counters");
    std::array<std::uint64_t, kCounterCount> values{};
    std::memcpy(values.data(), &counters, sizeof counters);
    return values;
}

CounterCells::CounterCells() {
    Registry& registry = TheRegistry();
    std::scoped_lock lock(registry.lock);
    registry.cells.push_back(this);
}

CounterCells::~CounterCells() {
    Registry& registry = TheRegistry();
    std::scoped_lock lock(registry.lock);
    registry.cells.erase(std::find(registry.cells.begin(), registry.cells.end(), this));
}

CallerCounters CounterCells::Snapshot() const {
    std::array<std::uint64_t, kCounterCount> values{};
    for (std::size_t i = 0; i < kCounterCount; ++i) values[i] = m_cells[i].load(std::memory_order_relaxed);
    CallerCounters counters;
    std::memcpy(static_cast<void*>(&counters), values.data(), sizeof counters);
    return counters;
}

void CounterCells::SetOwn(std::uint32_t address, std::uint16_t port) {
    m_own.store(Packed(address, port), std::memory_order_relaxed);
}

void CounterCells::SetPeer(std::uint32_t address, std::uint16_t port) {
    m_peer.store(Packed(address, port), std::memory_order_relaxed);
}

CallerIdentity CounterCells::Identity() const {
    const std::uint64_t own = m_own.load(std::memory_order_relaxed);
    const std::uint64_t peer = m_peer.load(std::memory_order_relaxed);
    return {static_cast<std::uint32_t>(own >> 16), static_cast<std::uint16_t>(own & 0xFFFF),
            static_cast<std::uint32_t>(peer >> 16), static_cast<std::uint16_t>(peer & 0xFFFF),
            static_cast<CallerKind>(m_kind.load(std::memory_order_relaxed))};
}

void VisitCounterCells(const std::function<void(const CounterCells&)>& visit) {
    Registry& registry = TheRegistry();
    std::scoped_lock lock(registry.lock);
    for (const CounterCells* cells : registry.cells) visit(*cells);
}

}  // namespace talvex
