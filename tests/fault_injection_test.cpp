// Two client processes call one server at the same time, each with its own
// reference counter starting at 1, so both use the same reference numbers and the
// same chunk transfer references at once. Every call of each process must end with
// its own right answer or with false (or, for a chunked return whose chunk was lost,
// an empty answer unless the client asked for false); never with an answer computed
// from the other process's call, a mix of both, or an earlier call's, and never later
// than its time-out allows.
#include "fault_run.h"

#include <gtest/gtest.h>

namespace {

using faultload::ExpectOwnAnswerOrFalse;
using faultload::RunPlan;
using faultload::TwoProcessRun;

// The plainest form of the collision: both processes send chunked calls of the same
// shapes at the same moment through relays that lose nothing, so they use the same
// transfer references at once; each must get every answer, its own.
TEST(FaultInjection, TwoProcessesChunkedCallsOnACleanWireEachGetTheirOwnAnswers) {
    RunPlan plan;
    plan.calls = 30;
    plan.seed = 5;
    plan.chunkedCallsOnly = true;
    plan.faults = {};
    TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(120))) << run.Problem();
    ExpectOwnAnswerOrFalse(run, plan, plan.calls);
}

// The mixed workload under the plan's loss, duplication and reordering; the second
// process asks for false where return chunks were lost.
TEST(FaultInjection, TwoProcessesUnderLossDuplicationAndReorderingNeverGetAWrongAnswerOrAHang) {
    RunPlan plan;
    plan.seed = 20240601;
    plan.faults.seed = 77;
    plan.failOnLostReturnChunks = {false, true};
    TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(120))) << run.Problem();
    ExpectOwnAnswerOrFalse(run, plan);
}

}  // namespace
