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
#include <memory>
#include <string>
#include <vector>

namespace faultload {

constexpr int kClientProcesses = 2;

struct RunPlan {
    int calls = 120;                 // per process
    std::uint32_t seed = 1;
    bool chunkedCallsOnly = false;
    // 5% loss, 5% duplication, 10% held back up to 4 ms; {} is a clean wire. Its seed is varied per relay.
    testsupport::RelayFaults faults{0.05, 0.05, 0.10, std::chrono::milliseconds(4), 1};
    // Per process (tagged 1, 2): whether it asks for false where return chunks were lost.
    std::array<bool, kClientProcesses> failOnLostReturnChunks{};
};

struct ProcessResult {
    bool finished = false;   // ended with exit status 0 and an OUTCOMES line
    int exitStatus = -1;
    Outcomes outcomes;
    std::string output;      // everything the process printed
};

class TwoProcessRun {
public:
    explicit TwoProcessRun(const RunPlan& plan) : m_plan(plan) {}

    // Starts the servers and relays, runs both client processes to their end (or
    // until `most` has passed) and collects what they report. False when something
    // could not start; Problem() says what.
    bool Run(std::chrono::seconds most) {
        if (!m_serverEx->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) ||
            !m_server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0))
            return Fail("a server did not start");
        const std::string helper = testsupport::HelperPath("fault_client");
        if (helper.empty()) return Fail("helper fault_client not found");
        std::vector<std::unique_ptr<testsupport::ChildProcess>> children;
        for (int p = 0; p < kClientProcesses; ++p)
            children.push_back(std::make_unique<testsupport::ChildProcess>(helper, Arguments(p)));
        for (auto& child : children)
            if (!AwaitReady(*child)) return Fail("a client process did not get ready");
        for (auto& child : children) child->CloseInput();   // both clients begin calling
        const auto deadline = std::chrono::steady_clock::now() + most;
        for (int p = 0; p < kClientProcesses; ++p) Collect(*children[p], deadline, &m_results[p]);
        return true;
    }

    const ProcessResult& Result(int process) const { return m_results[process]; }
    const std::string& Problem() const { return m_problem; }

private:
    bool Fail(const std::string& problem) {
        m_problem = problem;
        return false;
    }

    // Starts the relays between client process `p` and the two servers; returns its arguments.
    std::vector<std::string> Arguments(int p) {
        testsupport::RelayFaults faults = m_plan.faults;
        faults.seed = m_plan.faults.seed * 7 + 2 * static_cast<std::uint32_t>(p);
        m_relays.push_back(std::make_unique<testsupport::UdpRelay>(m_serverEx->GetMyUDPPort(), faults));
        faults.seed += 1;
        m_relays.push_back(std::make_unique<testsupport::UdpRelay>(m_server->GetMyUDPPort(), faults));
        return {std::to_string(m_relays[2 * p]->Port()), std::to_string(m_relays[2 * p + 1]->Port()),
                std::to_string(m_plan.calls), std::to_string(m_plan.seed), std::to_string(p + 1),
                m_plan.failOnLostReturnChunks[p] ? "1" : "0",
                m_plan.chunkedCallsOnly ? "chunked-calls" : "mixed"};
    }

    static bool AwaitReady(testsupport::ChildProcess& child) {
        return child.Started() && child.NextLine(std::chrono::seconds(30)) == "READY";
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
    std::unique_ptr<MixedServerEx> m_serverEx = std::make_unique<MixedServerEx>();
    std::unique_ptr<MixedServer> m_server = std::make_unique<MixedServer>();
    std::vector<std::unique_ptr<testsupport::UdpRelay>> m_relays;   // per process: to the extended, to the plain server
    std::array<ProcessResult, kClientProcesses> m_results;
    std::string m_problem;
};

// Per process: every call counted, none wrong or hung, empty-true only where
// allowed, and at least `leastRight` right (by default most).
inline void ExpectOwnAnswerOrFalse(const TwoProcessRun& run, const RunPlan& plan, int leastRight = -1) {
    for (int p = 0; p < kClientProcesses; ++p) {
        const ProcessResult& result = run.Result(p);
        ASSERT_TRUE(result.finished) << "process " << p + 1 << ": exit status " << result.exitStatus << ", output:\n"
                                     << result.output;
        const Outcomes& o = result.outcomes;
        SCOPED_TRACE("process " + std::to_string(p + 1) + ": " + FormatOutcomes(o));
        EXPECT_EQ(plan.calls, o.Total());
        EXPECT_EQ(0, o.wrongTrue) << "a call reported another call's, an earlier call's or a mixed answer as success\n"
                                  << result.output;
        EXPECT_EQ(0, o.hang) << "a call outlived its time-out";
        if (plan.failOnLostReturnChunks[p]) {
            EXPECT_EQ(0, o.emptyTrue) << "a call whose return chunks were lost ended with true";
        }
        // Most calls still get through: the faults are not so many that the run proves nothing.
        EXPECT_GE(o.right, leastRight >= 0 ? leastRight : plan.calls / 2 + 1);
    }
}

}  // namespace faultload
