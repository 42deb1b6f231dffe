// The longest chunked call and answer (10000 chunks, 3,460,000 words each way) between
// two callers on loopback, and one word more.
#include "caller_test_util.h"

#include <gtest/gtest.h>

using namespace callertest;

namespace {

TEST(SlowCallerEx, LongestChunkedCallAndAnswerArriveWordForWord) {
    auto serverOwner = std::make_unique<TestCallerEx>(), clientOwner = std::make_unique<TestCallerEx>();   // too big for a stack
    TestCallerEx &server = *serverOwner, &client = *clientOwner;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    client.SetMultiTarget(server.GetMyUDPPort(), kLoopback);
    client.SetRemoteSocket(server.GetMyUDPPort(), kLoopback);
    client.m_bFailOnLostReturnChunks = true;

    constexpr std::int32_t kWords = talvex::kChunkSlots * talvex::kChunkWords;   // 3,460,000
    for (std::int32_t seed = 1; seed <= 5; ++seed) {
        CUdpDataBlockEx echo = EchoCall(kWords, seed);
        ASSERT_TRUE(client.CallProcedure(&echo, 20000)) << seed;
        EXPECT_TRUE(HoldsPattern(echo, kWords, seed)) << seed;
    }
    auto call = PatternCall(kProcRecord, kWords, 99);
    ASSERT_TRUE(client.CallProcedure(call.get(), 5000));
    EXPECT_EQ(kWords, call->GetLongData());
    const auto seen = server.LastCall();
    ASSERT_EQ(kWords, seen.length);
    EXPECT_EQ(-1, FirstPatternMismatch(seen.data.data(), kWords, 99));

    // One word more needs 10001 chunks, more than the receiver has slots: refused unsent.
    auto tooLong = PatternCall(kProcRecord, kWords + 1, 98);
    EXPECT_FALSE(client.CallProcedure(tooLong.get(), 5000));
    EXPECT_EQ(kWords + 1, tooLong->m_nLength);
    client.StopDispatchThread();
}

}  // namespace
