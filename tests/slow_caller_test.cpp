// The slow cases of the caller: the 6-second start against a peer that is there
// but does not answer, and the late answer that still makes the caller active.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <poll.h>

using namespace std::chrono_literals;

namespace {

TEST(CallerSlowStart, SilentPeerFailsTheStartAfterSixSecondsThenALateAnswerActivates) {
    const testsupport::Fd peer = testsupport::BoundLoopback(SOCK_DGRAM);
    ASSERT_GE(peer.Get(), 0);

    callertest::TestCaller caller;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(caller.StartDispatchThread(testsupport::LocalPort(peer), L"127.0.0.1", "", 0));
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed.count(), 5900);
    EXPECT_LT(elapsed.count(), 12000);
    EXPECT_FALSE(caller.IsActive());

    // The peer starts answering pings: the still running ping thread notices.
    std::atomic<bool> stop{false};
    auto answerer = std::async(std::launch::async, [&] {
        std::int32_t words[4];
        CSockAddr from;
        while (!stop) {
            pollfd fd{peer.Get(), POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0) continue;
            socklen_t fromLength = sizeof(sockaddr_in);
            if (::recvfrom(peer.Get(), words, sizeof words, 0, static_cast<sockaddr*>(from), &fromLength) >= 4 &&
                words[0] == RP_PING) {
                const std::int32_t answer[4] = {RP_PING_ANSWER, 0, 0, 0};
                ::sendto(peer.Get(), answer, sizeof answer, 0, static_cast<const sockaddr*>(from), sizeof(sockaddr_in));
            }
        }
    });
    EXPECT_TRUE(testsupport::WaitUntil([&] { return caller.IsActive(); }, 4000ms));
    stop = true;
    answerer.get();
}

}  // namespace
