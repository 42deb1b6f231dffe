#include "StatRender.h"

#include "Json.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>

namespace cli {

namespace {

CallerKey KeyOf(int pid, const talvex::CallerIdentity& id) {
    return {pid, id.ownAddress, id.ownPort, id.peerAddress, id.peerPort};
}

std::string Dotted(std::uint32_t hostAddress) {
    in_addr address{htonl(hostAddress)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

const char* KindText(talvex::CallerKind kind) { return kind == talvex::CallerKind::kExtended ? "extended" : "plain"; }

double SecondsSince(std::uint64_t updatedNs) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto nowNs = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
    return nowNs > updatedNs ? static_cast<double>(nowNs - updatedNs) / 1e9 : 0.0;
}

void PrintCallerTable(const talvex::PublishedCaller& caller, const std::vector<double>& rates) {
    const auto& names = talvex::CounterNames();
    const auto values = talvex::CounterValues(caller.counters);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (rates.empty()) {
            std::printf("    %-22s %13llu", names[i], static_cast<unsigned long long>(values[i]));
        } else {
            std::printf("    %-22s %13llu %10.0f/s", names[i], static_cast<unsigned long long>(values[i]), rates[i]);
        }
        std::printf(i % 2 == 1 || i + 1 == names.size() ? "\n" : "  ");
    }
}

std::string CountersObject(const talvex::CallerCounters& counters) {
    const auto& names = talvex::CounterNames();
    const auto values = talvex::CounterValues(counters);
    std::string json = "{";
    for (std::size_t i = 0; i < names.size(); ++i) {
        json += (i == 0 ? "\"" : ",\"") + std::string(names[i]) + "\":" + std::to_string(values[i]);
    }
    return json + "}";
}

std::string RatesObject(const std::vector<double>& rates) {
    const auto& names = talvex::CounterNames();
    std::string json = "{";
    for (std::size_t i = 0; i < names.size() && i < rates.size(); ++i) {
        json += (i == 0 ? "\"" : ",\"") + std::string(names[i]) + "\":" + JsonNumber(rates[i], 6);
    }
    return json + "}";
}

}  // namespace

std::string AddressText(std::uint32_t hostAddress, std::uint16_t port) {
    return Dotted(hostAddress) + ":" + std::to_string(port);
}

std::vector<double> StatHistory::RatesOf(const talvex::PublishedProcess& process,
                                         const talvex::PublishedCaller& caller) const {
    const auto seen = m_seen.find(KeyOf(process.pid, caller.identity));
    if (seen == m_seen.end() || process.updatedNs <= seen->second.updatedNs) return {};
    const double seconds = static_cast<double>(process.updatedNs - seen->second.updatedNs) / 1e9;
    const auto now = talvex::CounterValues(caller.counters);
    const auto before = talvex::CounterValues(seen->second.counters);
    std::vector<double> rates(now.size());
    for (std::size_t i = 0; i < now.size(); ++i) {
        rates[i] = now[i] >= before[i] ? static_cast<double>(now[i] - before[i]) / seconds : 0.0;
    }
    return rates;
}

void StatHistory::Remember(const std::vector<talvex::PublishedProcess>& processes) {
    m_seen.clear();
    for (const auto& process : processes) {
        for (const auto& caller : process.callers) {
            m_seen[KeyOf(process.pid, caller.identity)] = {process.updatedNs, caller.counters};
        }
    }
}

void PrintTable(const std::vector<talvex::PublishedProcess>& processes, const StatHistory* history) {
    for (const auto& process : processes) {
        std::printf("pid %d %s: %u caller%s, updated %.1f s ago\n", process.pid, process.program.c_str(),
                    process.callerTotal, process.callerTotal == 1 ? "" : "s", SecondsSince(process.updatedNs));
        for (const auto& caller : process.callers) {
            const auto& id = caller.identity;
            std::printf("  %s caller on %s, peer %s\n", KindText(id.kind), AddressText(id.ownAddress, id.ownPort).c_str(),
                        AddressText(id.peerAddress, id.peerPort).c_str());
            PrintCallerTable(caller, history != nullptr ? history->RatesOf(process, caller) : std::vector<double>{});
        }
    }
    std::fflush(stdout);
}

void PrintJson(const std::vector<talvex::PublishedProcess>& processes, const StatHistory* history) {
    for (const auto& process : processes) {
        for (const auto& caller : process.callers) {
            const auto& id = caller.identity;
            JsonLine line;
            line.Add("pid", process.pid).AddText("program", process.program);
            line.AddText("address", Dotted(id.ownAddress));
            line.Add("port", id.ownPort).AddText("peer", AddressText(id.peerAddress, id.peerPort));
            line.AddText("kind", KindText(id.kind)).Add("counters", CountersObject(caller.counters));
            if (history != nullptr) line.Add("rates", RatesObject(history->RatesOf(process, caller)));
            line.Print();
        }
    }
}

void PrintPrometheus(const std::vector<talvex::PublishedProcess>& processes) {
    const auto& names = talvex::CounterNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::printf("# TYPE talvex_%s_total counter\n", names[i]);
        for (const auto& process : processes) {
            for (const auto& caller : process.callers) {
                const auto& id = caller.identity;
                std::printf("talvex_%s_total{pid=\"%d\",port=\"%u\",peer=\"%s\"} %llu\n", names[i], process.pid,
                            id.ownPort, AddressText(id.peerAddress, id.peerPort).c_str(),
                            static_cast<unsigned long long>(talvex::CounterValues(caller.counters)[i]));
            }
        }
    }
    std::fflush(stdout);
}

}  // namespace cli
