// The longest chunked call the receiver can put together (10000 chunks,
// 3,460,000 words) between two callers on loopback, and one word more.
#include "caller_ex_test_util.h"

#include <gtest/gtest.h>

namespace {

using cextest::FirstPatternMismatch;
using cextest::kProcRecord;

TEST(SlowCallerEx, LongestChunkedCallArrivesWordForWord) {
    auto server = cextest::StartOnLoopback<cextest::ServingCallerEx>();
    auto client = cextest::StartOnLoopback<cextest::ServingCallerEx>();
    ASSERT_TRUE(server && client);
    cextest::Target(*client, server->GetMyUDPPort());

    constexpr std::int32_t kWords = kChunkSlots * kChunkWords;   // 3,460,000
    auto call = cextest::PatternCall(kProcRecord, kWords, 99);
    ASSERT_TRUE(client->CallProcedure(call.get(), 5000));
    EXPECT_EQ(call->GetLongData(), kWords);
    const auto seen = server->LastCall();
    EXPECT_EQ(seen.type, RP_MULTI_CALL);
    EXPECT_EQ(seen.procedure, kProcRecord);
    ASSERT_EQ(seen.length, kWords);
    EXPECT_EQ(FirstPatternMismatch(seen.data.data(), kWords, 99), -1);
    EXPECT_EQ(server->m_nLastCallSlot, kChunkSlots - 1);

    // One word more needs 10001 chunks, more than the receiver has slots: refused unsent.
    auto tooLong = cextest::PatternCall(kProcRecord, kWords + 1, 98);
    EXPECT_FALSE(client->CallProcedure(tooLong.get(), 5000));
    EXPECT_EQ(server->callsServed, 1);
    EXPECT_EQ(tooLong->m_nLength, kWords + 1);
    client->StopDispatchThread();
}

}  // namespace
