// The slow cases of the caller: the 6-second start against a peer that is there
// but does not answer, and the late answer that still makes the caller active.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>

using namespace std::chrono_literals;

namespace {

TEST(CallerSlowStart, SilentPeerFailsTheStartAfterSixSecondsThenALateAnswerActivates) {
    testsupport::Fd peer = testsupport::BoundLoopback(SOCK_DGRAM);   // bound, but answers nothing
    ASSERT_GE(peer.Get(), 0);
    const unsigned short port = testsupport::LocalPort(peer);

    callertest::TestCaller caller;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(caller.StartDispatchThread(port, L"127.0.0.1", "", 0));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed.count(), 5900);
    EXPECT_LT(elapsed.count(), 12000);
    EXPECT_FALSE(caller.IsActive());

    // A caller takes over the peer's port and answers pings: the still running ping thread notices.
    peer.Reset();
    callertest::TestCaller answering;
    answering.SetMyPort(port);
    ASSERT_TRUE(answering.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return caller.IsActive(); }, 4000ms));
}

}  // namespace
