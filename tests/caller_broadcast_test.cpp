// Broadcast calls between real callers. Broadcasts to 255.255.255.255 run only in a
// private network namespace (testsupport::RerunInPrivateNamespace): each inner test
// first checks that its namespace is fresh, then sets up interfaces and routes there.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <set>
#include <string>
#include <tuple>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr unsigned short kBroadcastPort = 47123;   // private namespace: no other user

using testsupport::kNoBroadcastMark;

// Runs each command with /bin/sh, after checking that this is the fresh private
// namespace the outer run created (never the machine's own); false, with `failed`,
// when it is not or at the first command that fails.
bool SetUpNamespace(std::initializer_list<const char*> commands, std::string& failed) {
    if (!testsupport::FreshPrivateNamespace(failed)) return false;
    for (const char* command : commands) {
        if (std::system(command) != 0) {
            failed = command;
            return false;
        }
    }
    return true;
}

// True when a datagram sent to 255.255.255.255 comes back on this machine.
bool BroadcastReachesLoopback() {
    if (!testsupport::InsidePrivateNamespace()) return false;   // never on the machine's own network
    const testsupport::Fd receiver(::socket(AF_INET, SOCK_DGRAM, 0));
    const testsupport::Fd sender(::socket(AF_INET, SOCK_DGRAM, 0));
    const int on = 1;
    ::setsockopt(receiver.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(sender.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const CSockAddr any(0u, kBroadcastPort + 1);
    const CSockAddr broadcast(INADDR_BROADCAST, kBroadcastPort + 1);
    timeval wait{1, 0};
    ::setsockopt(receiver.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    if (::bind(receiver.Get(), static_cast<const sockaddr*>(any), sizeof(sockaddr_in)) != 0 ||
        ::sendto(sender.Get(), "x", 1, 0, static_cast<const sockaddr*>(broadcast), sizeof(sockaddr_in)) != 1)
        return false;
    char byte = 0;
    return ::recv(receiver.Get(), &byte, 1, 0) == 1;
}

// Each group of inner tests in a namespace of its own, since each needs a fresh one.
TEST(CallerBroadcast, AnswersAreCollectedInPrivateNetworkNamespaces) {
    if (testsupport::InsidePrivateNamespace()) GTEST_SKIP() << "outer driver; the inner tests run here";
    for (const char* filter : {"BroadcastInNamespace.*", "BroadcastOverVeth.*"}) {
        SCOPED_TRACE(filter);
        testsupport::RerunInPrivateNamespace(filter);
    }
}

class BroadcastInNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::InsidePrivateNamespace()) GTEST_SKIP() << "runs only inside the private network namespace";
        std::string why;
        ASSERT_TRUE(SetUpNamespace({"ip link set lo up",
                                    "ip route add broadcast 255.255.255.255 dev lo table local 2>/dev/null || "
                                    "ip route add 255.255.255.255/32 dev lo 2>/dev/null || true"},
                                   why))
            << why;
        if (!BroadcastReachesLoopback()) {
            std::printf("%s\n", kNoBroadcastMark);
            GTEST_SKIP() << kNoBroadcastMark;
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
        EXPECT_EQ(std::make_tuple(RP_BROADCAST_RETURN, 21, call.m_nReferenceNumber, 0),
                  std::make_tuple(item->m_nType, item->m_nProcedure, item->m_nReferenceNumber, item->m_nReadPos));
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

// A veth pair v0 (10.200.0.1) and v1 (10.200.0.2), with 255.255.255.255 routed out of v1:
// a broadcast sent there arrives on v0 from outside, as from another computer, and
// its locally looped copy arrives on v1.
class BroadcastOverVeth : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::InsidePrivateNamespace()) GTEST_SKIP() << "runs only inside the private network namespace";
        std::string why;
        ASSERT_TRUE(testsupport::FreshPrivateNamespace(why)) << why;   // refused outside one
        if (!SetUpNamespace({"ip link set lo up", "ip link add v0 type veth peer name v1",
                     "ip addr add 10.200.0.1/24 dev v0", "ip addr add 10.200.0.2/24 dev v1", "ip link set v0 up",
                     "ip link set v1 up", "ip route add 255.255.255.255/32 dev v1",
                     // v0 sees the namespace's own address 10.200.0.2 as the source: accept it.
                     "echo 1 > /proc/sys/net/ipv4/conf/all/accept_local",
                     "echo 1 > /proc/sys/net/ipv4/conf/v0/accept_local"},
                    why)) {
            std::printf("%s: %s\n", kNoBroadcastMark, why.c_str());
            GTEST_SKIP() << kNoBroadcastMark << ": " << why;
        }
    }
};

TEST_F(BroadcastOverVeth, ServerBoundToAnOwnAddressAnswersThroughItsInterface) {
    callertest::TestCaller broadcaster, onV0, onAny, onLoopback;
    onV0.broadcastAnswer = 1, onAny.broadcastAnswer = 2, onLoopback.broadcastAnswer = 3;
    ASSERT_TRUE(broadcaster.StartDispatchThread(0, L"127.0.0.1", "", 0));
    ASSERT_TRUE(onV0.StartDispatchThread(0, L"127.0.0.1", "10.200.0.1", kBroadcastPort));
    ASSERT_TRUE(onAny.StartDispatchThread(0, L"127.0.0.1", "", kBroadcastPort));
    ASSERT_TRUE(onLoopback.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", kBroadcastPort));
    // The link may need a moment to come up: a few rounds until both answer.
    std::multiset<int> values;
    for (int round = 0; round < 20 && values.count(1) == 0; ++round) {
        CUdpDataBlockEx call(31);
        CBCastReturnBlock* answers = broadcaster.BroadcastCall(kBroadcastPort, &call, 300);
        ASSERT_NE(nullptr, answers);
        values.clear();
        for (std::uint32_t i = 0; i < answers->GetSize(); ++i) values.insert(answers->GetAt(i)->GetLongData());
    }
    // v0's server answers once: the copy of the broadcast that the sending side
    // loops back locally arrives on v1, not on v0, and is not taken. The loopback
    // server hears nothing; the server bound to any hears every copy.
    EXPECT_EQ(1u, values.count(1));
    EXPECT_LE(1u, values.count(2));
    EXPECT_EQ(0u, values.count(3));
}

}  // namespace
