// The long run of the lossy-wire calls: 1,000 mixed calls under 5% loss and 5%
// duplication (fixed seed), each judged as in fault_injection_test.
#include "fault_workload.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

TEST(SlowFaultInjection, ThousandMixedCallsUnderLossAndDuplication)
{
    faultload::Settings settings;
    settings.calls = 1000;
    settings.faults.dropRate = 0.05;
    settings.faults.duplicateRate = 0.05;
    settings.faults.seed = 4242;
    faultload::Workload workload(settings);
    ASSERT_TRUE(workload.Start());
    workload.Run();
    using faultload::Kind;
    for (Kind kind : {Kind::OnePacket, Kind::Pulled, Kind::ChunkedCall, Kind::ChunkedReturn})
        std::cout << "  " << faultload::KindName(kind) << ": " << workload.Of(kind) << "\n";
    const faultload::Outcomes all = workload.Overall();
    std::cout << "  all: " << all << std::endl;
    for (const std::string& line : workload.WrongAnswers())
        std::cout << "  wrong-true: " << line << "\n";
    EXPECT_EQ(settings.calls, all.Total());
    EXPECT_EQ(0, all.wrongTrue);
    EXPECT_EQ(0, all.staleTrue);
    EXPECT_EQ(0, all.hang);
    EXPECT_GT(all.right, settings.calls / 2);
}

}  // namespace
