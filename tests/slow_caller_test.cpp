// The slow cases of the caller: the 6-second start against a peer that is there
// but does not answer, and the late answer that still makes the caller active.
#include "caller_test_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

TEST(CallerSlowStart, SilentPeerFailsTheStartAfterSixSecondsThenALateAnswerActivates) {
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(peer, 0);
    CSockAddr local(0x7F000001u, 0);
    ASSERT_EQ(0, ::bind(peer, static_cast<const sockaddr*>(local), sizeof(sockaddr_in)));
    socklen_t length = sizeof(sockaddr_in);
    ::getsockname(peer, static_cast<sockaddr*>(local), &length);

    callertest::TestCaller caller;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(caller.StartDispatchThread(local.Port(), L"127.0.0.1", "", 0));
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
            pollfd fd{peer, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0) continue;
            socklen_t fromLength = sizeof(sockaddr_in);
            if (::recvfrom(peer, words, sizeof words, 0, static_cast<sockaddr*>(from), &fromLength) >= 4 &&
                words[0] == RP_PING) {
                const std::int32_t answer[4] = {RP_PING_ANSWER, 0, 0, 0};
                ::sendto(peer, answer, sizeof answer, 0, static_cast<const sockaddr*>(from), sizeof(sockaddr_in));
            }
        }
    });
    EXPECT_TRUE(testsupport::WaitUntil([&] { return caller.IsActive(); }, 4000ms));
    stop = true;
    answerer.get();
    caller.StopDispatchThread();
    ::close(peer);
}

}  // namespace
