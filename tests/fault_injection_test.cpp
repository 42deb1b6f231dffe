// Two client processes call one server at the same time, each with its own
// reference counter starting at 1, so both use the same reference numbers and the
// same chunk transfer references at once. Every call of each process must end with
// its own right answer or with false (or, for a chunked return whose chunk was lost,
// an empty answer unless the client asked for false); never with an answer computed
// from the other process's call, a mix of both, or an earlier call's, and never later
// than its time-out allows.
#include "fault_run.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

using faultload::kClientProcesses;
using faultload::ExpectOwnAnswerOrFalse;
using faultload::RunPlan;
using faultload::TwoProcessRun;

// The plainest form of the collision: both processes send chunked calls of the same
// shapes at the same moment straight to the server, so they use the same transfer
// references at once; nothing is lost, so each must get every answer, its own.
TEST(FaultInjection, TwoProcessesChunkedCallsOnACleanWireEachGetTheirOwnAnswers) {
    RunPlan plan;
    plan.calls = 30;
    plan.seed = 5;
    plan.chunkedCallsOnly = true;
    plan.throughRelays = false;
    TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(120))) << run.Problem();
    std::cout << run.Report() << std::flush;
    for (int p = 0; p < kClientProcesses; ++p) {
        SCOPED_TRACE("process " + std::to_string(plan.processes[p].tag));
        ASSERT_TRUE(run.Result(p).finished) << run.Result(p).output;
        EXPECT_EQ(plan.calls, run.Result(p).outcomes.right) << faultload::FormatOutcomes(run.Result(p).outcomes);
    }
}

// The mixed workload under 5% loss, 5% duplication and reordering; the second
// process asks for false where return chunks were lost.
TEST(FaultInjection, TwoProcessesUnderLossDuplicationAndReorderingNeverGetAWrongAnswerOrAHang) {
    RunPlan plan;
    plan.calls = 120;
    plan.seed = 20240601;
    plan.faults.dropRate = 0.05;
    plan.faults.duplicateRate = 0.05;
    plan.faults.delayRate = 0.10;
    plan.faults.maxDelay = std::chrono::milliseconds(4);
    plan.faults.seed = 77;
    plan.processes = {faultload::ProcessPlan{1, false}, faultload::ProcessPlan{2, true}};
    TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(120))) << run.Problem();
    std::cout << run.Report() << std::flush;
    ExpectOwnAnswerOrFalse(run, plan);
}

}  // namespace
