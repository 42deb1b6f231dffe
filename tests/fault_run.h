#pragma once
// Two client processes calling the same servers at the same time, each through
// relays of its own (support/udp_relay.h) that may lose, duplicate and reorder
// datagrams. This process runs one MixedServerEx (one-packet and chunked calls and
// returns) and one MixedServer (pulled returns); every client process runs
// helpers/fault_client.cpp and reports its outcome counts.
#include "fault_workload.h"
#include "support/test_support.h"
#include "support/udp_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace faultload {

constexpr int kClientProcesses = 2;

struct ProcessPlan {
    std::int32_t tag = 1;
    bool failOnLostReturnChunks = false;
};

struct RunPlan {
    int calls = 120;                 // per process
    std::uint32_t seed = 1;
    bool chunkedCallsOnly = false;
    bool throughRelays = true;         // false: the clients call the servers directly, on a clean wire
    testsupport::RelayFaults faults;   // its seed is varied per relay
    std::array<ProcessPlan, kClientProcesses> processes{ProcessPlan{1, false}, ProcessPlan{2, false}};
};

struct ProcessResult {
    bool finished = false;   // ended with exit status 0 and an OUTCOMES line
    int exitStatus = -1;
    Outcomes outcomes;
    std::string output;      // everything the process printed
};

// The relays between one client process and the two servers.
struct RelayPair {
    std::unique_ptr<testsupport::UdpRelay> ex, plain;
};

class TwoProcessRun {
public:
    explicit TwoProcessRun(const RunPlan& plan) : m_plan(plan) {}
    ~TwoProcessRun() { std::remove(m_goFile.c_str()); }

    // Starts the servers and relays, runs both client processes to their end (or
    // until `most` has passed) and collects what they report. False when something
    // could not start; Problem() says what.
    bool Run(std::chrono::seconds most) {
        if (!StartServers()) return false;
        StartRelays();
        const std::string helper = testsupport::HelperPath("fault_client");
        if (helper.empty()) return Fail("helper fault_client not found");
        m_goFile = (std::filesystem::temp_directory_path() / testsupport::UniqueName("talvex-fault-go")).string();
        std::vector<std::unique_ptr<testsupport::ChildProcess>> children;
        for (int p = 0; p < kClientProcesses; ++p)
            children.push_back(std::make_unique<testsupport::ChildProcess>(helper, Arguments(p)));
        for (auto& child : children)
            if (!AwaitReady(*child)) return Fail("a client process did not get ready");
        std::ofstream(m_goFile).close();   // both clients begin calling
        const auto deadline = std::chrono::steady_clock::now() + most;
        for (int p = 0; p < kClientProcesses; ++p) Collect(*children[p], deadline, &m_results[p]);
        return true;
    }

    const ProcessResult& Result(int process) const { return m_results[process]; }
    const std::string& Problem() const { return m_problem; }

    // The outcome counts of every process, for the test log.
    std::string Report() const {
        std::ostringstream out;
        for (int p = 0; p < kClientProcesses; ++p)
            out << "process " << m_plan.processes[p].tag << ": " << FormatOutcomes(m_results[p].outcomes) << "\n";
        return out.str();
    }

private:
    bool Fail(const std::string& problem) {
        m_problem = problem;
        return false;
    }

    bool StartServers() {
        m_serverEx = std::make_unique<MixedServerEx>();
        m_server = std::make_unique<MixedServer>();
        return (m_serverEx->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) &&
                m_server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) || Fail("a server did not start");
    }

    void StartRelays() {
        for (int p = 0; p < kClientProcesses && m_plan.throughRelays; ++p) {
            testsupport::RelayFaults faults = m_plan.faults;
            faults.seed = m_plan.faults.seed * 7 + 2 * static_cast<std::uint32_t>(p);
            m_relays[p].ex = std::make_unique<testsupport::UdpRelay>(m_serverEx->GetMyUDPPort(), faults);
            if (m_plan.chunkedCallsOnly) continue;
            faults.seed += 1;
            m_relays[p].plain = std::make_unique<testsupport::UdpRelay>(m_server->GetMyUDPPort(), faults);
        }
    }

    std::vector<std::string> Arguments(int process) const {
        const ProcessPlan& plan = m_plan.processes[process];
        const RelayPair& relays = m_relays[process];
        const std::uint16_t exPort = m_plan.throughRelays ? relays.ex->Port() : m_serverEx->GetMyUDPPort();
        const std::uint16_t plainPort = m_plan.chunkedCallsOnly ? 0
                                        : m_plan.throughRelays  ? relays.plain->Port()
                                                                : m_server->GetMyUDPPort();
        return {std::to_string(exPort), std::to_string(plainPort), std::to_string(m_plan.calls), std::to_string(m_plan.seed),
                std::to_string(plan.tag), plan.failOnLostReturnChunks ? "1" : "0",
                m_plan.chunkedCallsOnly ? "chunked-calls" : "mixed", m_goFile};
    }

    static bool AwaitReady(testsupport::ChildProcess& child) {
        std::string line;
        return child.Started() && child.ReadLine(&line, std::chrono::seconds(30)) && line == "READY";
    }

    static void Collect(testsupport::ChildProcess& child, std::chrono::steady_clock::time_point deadline,
                        ProcessResult* result) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        result->output = child.ReadAll(std::max(left, std::chrono::milliseconds(1)));
        result->exitStatus = child.Wait(std::chrono::seconds(5));
        const std::string tag = "OUTCOMES ";
        const auto at = result->output.rfind(tag);
        result->finished = result->exitStatus == 0 && at != std::string::npos &&
                           ParseOutcomes(result->output.substr(at + tag.size()), &result->outcomes);
    }

    RunPlan m_plan;
    std::unique_ptr<MixedServerEx> m_serverEx;
    std::unique_ptr<MixedServer> m_server;
    std::array<RelayPair, kClientProcesses> m_relays;
    std::array<ProcessResult, kClientProcesses> m_results;
    std::string m_goFile;
    std::string m_problem;
};

// Per process: every call counted, none wrong or hung, empty-true only where
// allowed, and most right.
inline void ExpectOwnAnswerOrFalse(const TwoProcessRun& run, const RunPlan& plan) {
    for (int p = 0; p < kClientProcesses; ++p) {
        const ProcessResult& result = run.Result(p);
        SCOPED_TRACE("process " + std::to_string(plan.processes[p].tag));
        ASSERT_TRUE(result.finished) << "exit status " << result.exitStatus << ", output:\n" << result.output;
        const Outcomes& o = result.outcomes;
        EXPECT_EQ(plan.calls, o.Total());
        EXPECT_EQ(0, o.wrongTrue) << "a call reported another call's, an earlier call's or a mixed answer as success\n"
                                  << result.output;
        EXPECT_EQ(0, o.hang) << "a call outlived its time-out";
        if (plan.processes[p].failOnLostReturnChunks) {
            EXPECT_EQ(0, o.emptyTrue) << "a call whose return chunks were lost ended with true";
        }
        // Most calls still get through: the faults are not so many that the run proves nothing.
        EXPECT_GT(o.right, plan.calls / 2);
    }
}

}  // namespace faultload
