// Broadcast calls between real callers. Broadcasts to 255.255.255.255 run only in a
// private network namespace: the outer test re-runs this program under `unshare -n`
// with loopback up and a broadcast route on it, and the inner tests do the work.
#include "caller_test_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <netinet/in.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr char kInsideVariable[] = "TALVEX_CALLER_BROADCAST_NETNS";
constexpr char kUnavailableMark[] = "BROADCAST-UNAVAILABLE";
constexpr unsigned short kBroadcastPort = 47123;   // private namespace: no other user

bool InsideNamespace() { return std::getenv(kInsideVariable) != nullptr; }

std::string OwnProgram() {
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// True when a datagram sent to 255.255.255.255 comes back on this machine.
bool BroadcastReachesLoopback() {
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(sender, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const CSockAddr any(0u, kBroadcastPort + 1);
    const CSockAddr broadcast(INADDR_BROADCAST, kBroadcastPort + 1);
    timeval wait{1, 0};
    ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    bool arrived = false;
    if (::bind(receiver, static_cast<const sockaddr*>(any), sizeof(sockaddr_in)) == 0 &&
        ::sendto(sender, "x", 1, 0, static_cast<const sockaddr*>(broadcast), sizeof(sockaddr_in)) == 1) {
        char byte = 0;
        arrived = ::recv(receiver, &byte, 1, 0) == 1;
    }
    ::close(receiver);
    ::close(sender);
    return arrived;
}

TEST(CallerBroadcast, AnswersAreCollectedInAPrivateNetworkNamespace) {
    if (InsideNamespace()) GTEST_SKIP() << "outer driver; the inner tests run here";
    callertest::TestCaller caller;   // port 0 needs no network: null at once
    ASSERT_TRUE(caller.StartDispatchThread(0, L"127.0.0.1", "", 0));
    CUdpDataBlockEx call(7);
    EXPECT_EQ(nullptr, caller.BroadcastCall(0, &call, 10));
    if (!testsupport::CanUsePrivateNetworkNamespace())
        GTEST_SKIP() << "cannot create a private network namespace (unshare -n): broadcast tests not run";
    const std::string script =
        "ip link set lo up && "
        "(ip route add broadcast 255.255.255.255 dev lo table local 2>/dev/null; "
        " ip route add 255.255.255.255/32 dev lo 2>/dev/null; true) && " +
        std::string(kInsideVariable) + "=1 exec '" + OwnProgram() + "' --gtest_filter='BroadcastInNamespace.*'";
    const std::string unshare = ::access("/usr/bin/unshare", X_OK) == 0 ? "/usr/bin/unshare" : "/bin/unshare";
    testsupport::ChildProcess child(unshare, {"-n", "/bin/sh", "-c", script});
    ASSERT_TRUE(child.Started());
    const std::string output = child.ReadAll(40s);
    const int status = child.Wait(10s);
    if (output.find(kUnavailableMark) != std::string::npos)
        GTEST_SKIP() << "the private network namespace does not carry broadcasts on loopback: " << output;
    EXPECT_EQ(0, status) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ]")) << output;
    EXPECT_EQ(std::string::npos, output.find("[  SKIPPED ]")) << output;
}

class BroadcastInNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InsideNamespace()) GTEST_SKIP() << "runs only inside the private network namespace";
        if (!BroadcastReachesLoopback()) {
            std::printf("%s\n", kUnavailableMark);
            GTEST_SKIP() << kUnavailableMark;
        }
        ASSERT_TRUE(broadcaster.StartDispatchThread(0, L"127.0.0.1", "", 0));
        for (int i = 0; i < 3; ++i) {
            servers.push_back(std::make_unique<callertest::TestCaller>());
            servers.back()->broadcastAnswer = 100 + i;
            ASSERT_TRUE(servers.back()->StartDispatchThread(0, L"127.0.0.1", "", kBroadcastPort));
        }
    }
    callertest::TestCaller broadcaster;
    std::vector<std::unique_ptr<callertest::TestCaller>> servers;
};

TEST_F(BroadcastInNamespace, AnswersCarryUnicastAddressesAndASecondBroadcastReplacesThem) {
    CUdpDataBlockEx call(21);
    call.AppendLongData(5);
    CBCastReturnBlock* answers = broadcaster.BroadcastCall(kBroadcastPort, &call, 500);
    ASSERT_NE(nullptr, answers);
    EXPECT_EQ(RP_BROADCAST, call.m_nType);
    ASSERT_EQ(3u, answers->GetSize());
    EXPECT_EQ(0, answers->m_nReferenceNumber);   // collection closed
    std::set<int> ports, values, expectedPorts;
    for (std::uint32_t i = 0; i < answers->GetSize(); ++i) {
        const CBCastItem* item = answers->GetAt(i);
        EXPECT_EQ(RP_BROADCAST_RETURN, item->m_nType);
        EXPECT_EQ(21, item->m_nProcedure);
        EXPECT_EQ(call.m_nReferenceNumber, item->m_nReferenceNumber);
        EXPECT_EQ(0, item->m_nReadPos);
        ports.insert(item->m_addrFrom.Port());
        values.insert(item->GetLongData());
    }
    for (const auto& server : servers) expectedPorts.insert(server->GetMyUDPPort());
    EXPECT_EQ(expectedPorts, ports);
    EXPECT_EQ((std::set<int>{100, 101, 102}), values);

    CUdpDataBlockEx second(23);   // frees the first's items
    answers = broadcaster.BroadcastCall(kBroadcastPort, &second, 400);
    ASSERT_EQ(3u, answers->GetSize());
    for (std::uint32_t i = 0; i < answers->GetSize(); ++i) {
        EXPECT_EQ(second.m_nReferenceNumber, answers->GetAt(i)->m_nReferenceNumber);
        EXPECT_EQ(23, answers->GetAt(i)->m_nProcedure);
    }
    CUdpDataBlockEx third(24);   // port 0: null, and the answers stay
    EXPECT_EQ(nullptr, broadcaster.BroadcastCall(0, &third, 100));
    EXPECT_EQ(3u, answers->GetSize());
}

}  // namespace
