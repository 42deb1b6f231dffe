// The long run of fault_injection_test: two client processes make 1,000 mixed calls
// each to one server at the same time, under 5% loss, 5% duplication and reordering
// (fixed seeds), once as the clients come by default and once with both asking for
// false where return chunks were lost.
#include "fault_run.h"

#include <gtest/gtest.h>

namespace {

class SlowFaultInjection : public testing::TestWithParam<bool> {};

TEST_P(SlowFaultInjection, TwoProcessesThousandMixedCallsEachNeverGetAWrongAnswerOrAHang) {
    faultload::RunPlan plan;   // the plan's loss, duplication and reordering
    plan.calls = 1000;
    plan.seed = 4242;
    plan.faults.seed = 4243;
    plan.failOnLostReturnChunks = {GetParam(), GetParam()};
    faultload::TwoProcessRun run(plan);
    ASSERT_TRUE(run.Run(std::chrono::seconds(280))) << run.Problem();
    faultload::ExpectOwnAnswerOrFalse(run, plan);
}

INSTANTIATE_TEST_SUITE_P(FailOnLostReturnChunks, SlowFaultInjection, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& param) { return param.param ? "On" : "Off"; });

}  // namespace
