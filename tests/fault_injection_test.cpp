// Calls over a lossy wire: a relay between real peers on loopback drops and
// duplicates datagrams (and delays some, so they arrive out of order) with a fixed
// seed. Every call must end with the right answer or with false, or, for a chunked
// return whose chunk was lost, with an empty answer; never with a wrong answer
// reported as true, and never later than its time-out allows.
#include "fault_workload.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

using faultload::Kind;
using faultload::Settings;
using faultload::Workload;

void PrintOutcomes(const Workload& workload)
{
    for (Kind kind : {Kind::OnePacket, Kind::Pulled, Kind::ChunkedCall, Kind::ChunkedReturn})
        std::cout << "  " << faultload::KindName(kind) << ": " << workload.Of(kind) << "\n";
    std::cout << "  all: " << workload.Overall() << "\n";
    for (const std::string& line : workload.WrongAnswers())
        std::cout << "  wrong-true: " << line << "\n";
    const auto ex = workload.RelayCountsEx();
    const auto plain = workload.RelayCountsPlain();
    std::cout << "  relay datagrams " << ex.received + plain.received << ", dropped " << ex.dropped + plain.dropped
              << ", duplicated " << ex.duplicated + plain.duplicated << ", delayed " << ex.delayed + plain.delayed
              << std::endl;
}

void ExpectNoWrongAnswerAndNoHang(const Workload& workload, int calls)
{
    const faultload::Outcomes all = workload.Overall();
    EXPECT_EQ(calls, all.Total());
    EXPECT_EQ(0, all.wrongTrue) << "a call reported a wrong answer as success";
    EXPECT_EQ(0, all.staleTrue) << "a call took the late answer of an earlier call";
    EXPECT_EQ(0, all.hang) << "a call outlived its time-out";
    // Most calls still get through: the faults are not so many that the run proves nothing.
    EXPECT_GT(all.right, calls / 2);
}

TEST(FaultInjection, CleanWireAnswersEveryCallRight)
{
    Settings settings;
    settings.calls = 60;
    Workload workload(settings);
    ASSERT_TRUE(workload.Start());
    workload.Run();
    PrintOutcomes(workload);
    EXPECT_EQ(settings.calls, workload.Overall().right);
}

TEST(FaultInjection, LossAndDuplicationNeverGiveAWrongAnswerOrAHang)
{
    Settings settings;
    settings.calls = 400;
    settings.faults.dropRate = 0.05;
    settings.faults.duplicateRate = 0.05;
    settings.faults.seed = 20240601;
    Workload workload(settings);
    ASSERT_TRUE(workload.Start());
    workload.Run();
    PrintOutcomes(workload);
    ExpectNoWrongAnswerAndNoHang(workload, settings.calls);
}

TEST(FaultInjection, ReorderingNeverGivesAWrongAnswerOrAHang)
{
    Settings settings;
    settings.calls = 200;
    settings.faults.dropRate = 0.02;
    settings.faults.duplicateRate = 0.05;
    settings.faults.delayRate = 0.10;
    settings.faults.maxDelay = std::chrono::milliseconds(4);
    settings.faults.seed = 77;
    Workload workload(settings);
    ASSERT_TRUE(workload.Start());
    workload.Run();
    PrintOutcomes(workload);
    ExpectNoWrongAnswerAndNoHang(workload, settings.calls);
}

}  // namespace
