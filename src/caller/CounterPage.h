#pragma once
// The counters page: the layout a publishing process keeps its callers' counters in,
// its name under /dev/shm ("talvex05u.<euid>.counters.<pid>"), and the checked reading
// of one by another process (`talvex stat`). A publisher holds a shared flock on its
// page for as long as it lives; a page nobody holds so is stale and may be removed.
#include "caller/CounterCells.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

inline constexpr std::uint32_t kCounterPageMagic = 0x54565843;   // "CXVT"
inline constexpr std::uint32_t kCounterPageVersion = 1;
inline constexpr std::size_t kCounterPageCallers = 64;            // callers shown per process at most
inline constexpr std::size_t kProgramNameBytes = 64;

struct CounterPageCaller {
    std::uint32_t ownAddress;
    std::uint16_t ownPort;
    std::uint16_t kind;
    std::uint32_t peerAddress;
    std::uint16_t peerPort;
    std::uint16_t reserved;
    std::uint64_t values[kCounterCount];
};

struct CounterPageHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t counterCount;   // values per caller
    std::uint32_t callerCount;    // entries filled, at most kCounterPageCallers
    std::uint64_t sequence;       // odd while the publisher writes
    std::uint64_t updatedNs;      // wall clock of the last refresh
    std::int32_t pid;
    std::uint32_t callerTotal;    // callers of the process, also those without an entry
    char program[kProgramNameBytes];
};

struct CounterPage {
    CounterPageHeader header;
    CounterPageCaller callers[kCounterPageCallers];
};

// One caller as a page shows it.
struct PublishedCaller {
    CallerIdentity identity;
    CallerCounters counters;
};

// One publishing process as its page showed it when read.
struct PublishedProcess {
    int pid = 0;
    std::string program;
    std::uint64_t updatedNs = 0;
    std::uint32_t callerTotal = 0;
    std::vector<PublishedCaller> callers;
};

// The shared-memory name of `pid`'s page ("/talvex05u.<euid>.counters.<pid>").
std::string CounterPageName(int pid);

// The pids of this user's pages under /dev/shm, in ascending order.
std::vector<int> ListCounterPages();

// Reads `pid`'s page: nothing, with the reason in `why`, when there is none, it is not
// ours (owner, mode, links), of another size or version, or stays torn while read.
std::optional<PublishedProcess> ReadCounterPage(int pid, std::string* why);

// True when nobody holds `pid`'s page (its publisher died); it is then removed.
bool RemoveCounterPageIfStale(int pid);

// Removes every stale page of this user; how many went.
int RemoveStaleCounterPages();

}  // namespace talvex
