// Two client processes call one server at the same time, each with its own
// reference counter starting at 1, so both use the same reference numbers and the
// same chunk transfer references at once. Every call of each process must end with
// its own right answer or with false (or, for a chunked return whose chunk was lost,
// an empty answer unless the client asked for false); never with an answer computed
// from the other process's call, a mix of both, or an earlier call's, and never later
// than its time-out allows.
#include "fault_run.h"

#include <gtest/gtest.h>

#include <cstdio>

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

// Two processes, one caller each, serve and call each other for two seconds with their
// reference counters level: short calls, and calls answered with 102 return chunks.
// The acknowledgements of one's chunked answer then carry the numbers of the other's
// own calls of the moment; no call may take one for its answer (false is tolerated).
TEST(FaultInjection, TwoProcessesCallingEachOtherWithLevelCountersNeverTakeAnAcknowledgementForTheAnswer) {
    constexpr std::int32_t kFirstReference = 7000001;
    auto self = faultload::CallingEachOther(0);
    ASSERT_TRUE(self);
    testsupport::ChildProcess peer(testsupport::HelperPath("fault_client"),
                                   {"mutual", std::to_string(self->GetMyUDPPort()), "2000", std::to_string(kFirstReference)});
    const std::string ready = peer.NextLine();
    unsigned short peerPort = 0;
    ASSERT_EQ(1, std::sscanf(ready.c_str(), "READY %hu", &peerPort)) << ready;
    self->SetRemoteSocket(peerPort, faultload::kLoopback);
    self->SetMultiTarget(peerPort, faultload::kLoopback);
    peer.CloseInput();
    const faultload::Tally own = faultload::CallEachOther(*self, 1, kFirstReference, std::chrono::milliseconds(2000));
    const std::string output = peer.ReadAll(std::chrono::seconds(20));
    const auto at = output.rfind("OUTCOMES ");
    faultload::Outcomes theirs;
    ASSERT_TRUE(at != std::string::npos && faultload::ParseOutcomes(output.substr(at + 9), &theirs)) << output;
    std::printf("this process: %s\nthe other:    %s\n", faultload::FormatOutcomes(own.outcomes).c_str(), faultload::FormatOutcomes(theirs).c_str());
    for (const faultload::Outcomes& o : {own.outcomes, theirs}) {
        EXPECT_EQ(0, o.wrongTrue + o.emptyTrue + o.hang) << faultload::FormatOutcomes(o) << "\n" << output;
        EXPECT_GT(o.right, o.Total() / 2) << faultload::FormatOutcomes(o);
    }
}

}  // namespace
