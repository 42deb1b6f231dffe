// Two callers in two processes calling each other over loopback.
#include "caller_test_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::chrono_literals;

namespace {

bool ReadTagged(testsupport::ChildProcess& child, const std::string& tag, int* value) {
    std::string line;
    while (child.ReadLine(&line, 10s)) {
        if (line.rfind(tag + " ", 0) == 0) {
            *value = std::stoi(line.substr(tag.size() + 1));
            return true;
        }
    }
    return false;
}

TEST(CallerProcesses, TwoProcessesCallEachOther) {
    const std::string helper = testsupport::HelperPath("caller_peer");
    ASSERT_FALSE(helper.empty());
    callertest::TestCaller caller;
    ASSERT_TRUE(caller.StartDispatchThread(0, L"127.0.0.1", "", 0));
    testsupport::ChildProcess peer(helper, {std::to_string(caller.GetMyUDPPort())});
    ASSERT_TRUE(peer.Started());

    int peerPort = 0;
    ASSERT_TRUE(ReadTagged(peer, "PORT", &peerPort));
    ASSERT_GT(peerPort, 0);
    caller.SetRemoteSocket(static_cast<unsigned short>(peerPort), 0x7F000001u);
    int active = 0;
    ASSERT_TRUE(ReadTagged(peer, "ACTIVE", &active));
    EXPECT_EQ(1, active);

    int ok = 0;   // our calls into the peer run while the peer calls us
    for (int i = 0; i < 20; ++i) {
        const std::int32_t count = (i * 1733) % 5000;
        CUdpDataBlockEx call = callertest::EchoCall(count, i);
        if (caller.CallProcedure(&call, 3000) && callertest::HoldsPattern(call, count, i)) ++ok;
    }
    EXPECT_EQ(20, ok);
    int peerOk = 0;
    ASSERT_TRUE(ReadTagged(peer, "CALLS", &peerOk));
    EXPECT_EQ(20, peerOk);
    EXPECT_EQ(20, caller.callsServed.load());

    CUdpDataBlockEx quit(callertest::kProcQuit);
    caller.SendEvent(&quit);
    EXPECT_EQ(0, peer.Wait(10s));
}

}  // namespace
