// The long run of fault_injection_test: two client processes make 1,000 mixed calls
// each to one server at the same time, under 5% loss, 5% duplication and reordering
// (fixed seeds), once as the clients come by default and once with both asking for
// false where return chunks were lost.
#include "fault_run.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

class SlowFaultInjection : public testing::TestWithParam<bool> {};

TEST_P(SlowFaultInjection, TwoProcessesThousandMixedCallsEachNeverGetAWrongAnswerOrAHang) {
    const bool failOnLostReturnChunks = GetParam();
    faultload::RunPlan plan;
    plan.calls = 1000;
    plan.seed = 4242;
    plan.faults.dropRate = 0.05;
    plan.faults.duplicateRate = 0.05;
    plan.faults.delayRate = 0.10;
    plan.faults.maxDelay = std::chrono::milliseconds(4);
    plan.faults.seed = 4243;
    plan.processes = {faultload::ProcessPlan{1, failOnLostReturnChunks},
                      faultload::ProcessPlan{2, failOnLostReturnChunks}};
    faultload::TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(280))) << run.Problem();
    std::cout << run.Report() << std::flush;
    faultload::ExpectOwnAnswerOrFalse(run, plan);
}

INSTANTIATE_TEST_SUITE_P(FailOnLostReturnChunks, SlowFaultInjection, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) { return param.param ? "On" : "Off"; });

}  // namespace
