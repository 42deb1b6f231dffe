#pragma once
// What a caller has done since it was made: calls, answers, datagrams, chunks and
// socket trouble, counted always and cheaply. CRP_Caller::GetCounters takes a snapshot;
// PublishCounters lets `talvex stat` read every caller of the process from outside.
#include <array>
#include <cstddef>
#include <cstdint>

namespace talvex {

// A snapshot of one caller's counters. Every field counts up from 0 and never goes back.
struct CallerCounters {
    std::uint64_t calls = 0;                 // calls made (one per CallProcedure that sent, chunked ones once)
    std::uint64_t answered = 0;              // calls that ended true with their answer
    std::uint64_t timed_out = 0;             // calls that ended false at their time-out
    std::uint64_t broken = 0;                // calls ended by BreakActiveCall or a stop
    std::uint64_t served = 0;                // calls handed to DoRemoteFunction
    std::uint64_t returns_sent = 0;          // answers sent (a chunked one once)
    std::uint64_t events_sent = 0;
    std::uint64_t events_received = 0;       // calls without a reference number: one-way events
    std::uint64_t pings_sent = 0;
    std::uint64_t pings_answered = 0;
    std::uint64_t broadcasts = 0;
    std::uint64_t broadcast_answers = 0;     // answers collected by a broadcast call
    std::uint64_t datagrams_in = 0;
    std::uint64_t datagrams_out = 0;
    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_out = 0;
    std::uint64_t malformed = 0;             // too short, unknown type or bad header
    std::uint64_t unmatched_returns = 0;     // returns no waiting call took
    std::uint64_t chunks_sent = 0;
    std::uint64_t chunks_received = 0;
    std::uint64_t chunk_tries_repeated = 0;  // chunk tries sent again after no answer
    std::uint64_t chunks_refused = 0;        // bad header, count mismatch, late copy
    std::uint64_t socket_errors = 0;         // failed receives and sends
    std::uint64_t socket_recoveries = 0;     // failed receives after which the socket was kept
    std::uint64_t shm_calls = 0;             // calls through the shared-memory channel
    std::uint64_t shm_timeouts = 0;          // of those, the ones that gave up
    std::uint64_t inbox_overflows = 0;       // calls dropped: read while a hook ran, and no room to keep them
    std::uint64_t acknowledgement_stalls = 0;  // chunked answers that went on after their receiver fell silent
    std::uint64_t refused_sources = 0;       // datagrams from an address AllowPeers leaves out, dropped unread
    std::uint64_t answers_cut_short = 0;     // chunked answers stopped: no acknowledgement of their first chunks
};

inline constexpr std::size_t kCounterCount = sizeof(CallerCounters) / sizeof(std::uint64_t);

// The counters' names in the order of the fields above, as JSON and `talvex stat` print them.
const std::array<const char*, kCounterCount>& CounterNames();

// The counters' values in the same order.
std::array<std::uint64_t, kCounterCount> CounterValues(const CallerCounters& counters);

// Keeps the counters of every caller of this process in a small page under /dev/shm
// that only the effective user can read, refreshed ten times a second, until the
// process ends or StopPublishingCounters is called. False (and a line to the
// diagnostic sink) when the page cannot be made or a page of that name is not ours.
// Calling it again while publishing does nothing and returns true.
bool PublishCounters();
// Removes the page and stops refreshing it.
void StopPublishingCounters();

}  // namespace talvex
