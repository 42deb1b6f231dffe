#pragma once
// How `talvex stat` shows published counters: a table per caller with per-second
// rates beside the totals, one JSON object per caller, or the Prometheus text format.
#include "caller/CounterPage.h"

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace cli {

// A caller across refreshes: its process, own port and peer.
using CallerKey = std::tuple<int, std::uint32_t, std::uint16_t, std::uint32_t, std::uint16_t>;

// The counters of one refresh, kept to compute the next refresh's rates.
class StatHistory {
public:
    // Per-second rates of `caller` of `process` since the last refresh; empty the first time.
    std::vector<double> RatesOf(const talvex::PublishedProcess& process, const talvex::PublishedCaller& caller) const;
    void Remember(const std::vector<talvex::PublishedProcess>& processes);

private:
    struct Seen {
        std::uint64_t updatedNs;
        talvex::CallerCounters counters;
    };
    std::map<CallerKey, Seen> m_seen;
};

// "a.b.c.d:port".
std::string AddressText(std::uint32_t hostAddress, std::uint16_t port);

void PrintTable(const std::vector<talvex::PublishedProcess>& processes, const StatHistory* history);
void PrintJson(const std::vector<talvex::PublishedProcess>& processes, const StatHistory* history);
void PrintPrometheus(const std::vector<talvex::PublishedProcess>& processes);

}  // namespace cli
