// The longest chunked call the receiver can put together (10000 chunks,
// 3,460,000 words) between two callers on loopback, and one word more.
#include "caller_test_util.h"

#include <gtest/gtest.h>

using namespace callertest;

namespace {

TEST(SlowCallerEx, LongestChunkedCallArrivesWordForWord) {
    auto serverOwner = std::make_unique<TestCallerEx>(), clientOwner = std::make_unique<TestCallerEx>();   // too big for a stack
    TestCallerEx &server = *serverOwner, &client = *clientOwner;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    client.SetMultiTarget(server.GetMyUDPPort(), kLoopback);
    client.SetRemoteSocket(server.GetMyUDPPort(), kLoopback);

    constexpr std::int32_t kWords = talvex::kChunkSlots * talvex::kChunkWords;   // 3,460,000
    auto call = PatternCall(kProcRecord, kWords, 99);
    ASSERT_TRUE(client.CallProcedure(call.get(), 5000));
    EXPECT_EQ(kWords, call->GetLongData());
    const auto seen = server.LastCall();
    EXPECT_EQ(RP_MULTI_CALL, seen.type);
    ASSERT_EQ(kWords, seen.length);
    EXPECT_EQ(-1, FirstPatternMismatch(seen.data.data(), kWords, 99));
    EXPECT_EQ(talvex::kChunkSlots - 1, server.m_nLastCallSlot);

    // One word more needs 10001 chunks, more than the receiver has slots: refused unsent.
    auto tooLong = PatternCall(kProcRecord, kWords + 1, 98);
    EXPECT_FALSE(client.CallProcedure(tooLong.get(), 5000));
    EXPECT_EQ(1, server.callsServed.load());
    EXPECT_EQ(kWords + 1, tooLong->m_nLength);
    client.StopDispatchThread();
}

}  // namespace
