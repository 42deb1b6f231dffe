// Two real callers on loopback, each the other's peer: start, liveness, calls with
// returns of every framing size, events, breaks, time-outs, stop and restart.
#include "caller_test_util.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

using callertest::EchoCall;
using callertest::HoldsPattern;
using callertest::TestCaller;
using namespace std::chrono_literals;

namespace {

std::int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A started pair: `server` without a peer port (active at once), `client` pinging it.
struct CallerPair {
    std::unique_ptr<TestCaller> server = std::make_unique<TestCaller>();
    std::unique_ptr<TestCaller> client = std::make_unique<TestCaller>();

    bool Start() {
        if (!server->StartDispatchThread(0, L"127.0.0.1", "", 0)) return false;
        const unsigned short serverPort = server->GetMyUDPPort();
        if (serverPort == 0) return false;
        if (!client->StartDispatchThread(serverPort, L"127.0.0.1", "", 0)) return false;
        server->SetRemoteSocket(client->GetMyUDPPort(), 0x7F000001u);
        return true;
    }
};

class CallerPairTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        pair = new CallerPair;
        ASSERT_TRUE(pair->Start());
    }
    static void TearDownTestSuite() {
        delete pair;
        pair = nullptr;
    }
    static CallerPair* pair;
};
CallerPair* CallerPairTest::pair = nullptr;

TEST(CallerStart, MutualPeersStartedTogetherBothBecomeActive) {
    // Reserve two ports, then start both callers at once, each naming the other.
    int portA = 0;
    int portB = 0;
    {
        CSockAddr any(0x7F000001u, 0);
        CBlockingSocket a;
        CBlockingSocket b;
        a.Create(talvex::kSockDgram);
        b.Create(talvex::kSockDgram);
        a.Bind(any);
        b.Bind(any);
        CSockAddr boundA;
        CSockAddr boundB;
        a.GetSockAddr(boundA);
        b.GetSockAddr(boundB);
        portA = boundA.Port();
        portB = boundB.Port();
        a.Close();
        b.Close();
    }
    TestCaller a;
    TestCaller b;
    a.SetMyPort(static_cast<unsigned short>(portA));
    b.SetMyPort(static_cast<unsigned short>(portB));
    EXPECT_EQ(a.GetMyUDPPort(), portA);
    auto startA = std::async(std::launch::async, [&] {
        return a.StartDispatchThread(static_cast<unsigned short>(portB), L"127.0.0.1", "127.0.0.1", 0);
    });
    const bool startedB = b.StartDispatchThread(static_cast<unsigned short>(portA), L"localhost", "", 0);
    EXPECT_TRUE(startA.get());
    EXPECT_TRUE(startedB);
    EXPECT_TRUE(a.IsActive());
    EXPECT_TRUE(b.IsActive());
    EXPECT_EQ(CString(L"127.0.0.1"), a.GetRemoteComputer());
    EXPECT_EQ(CString(L"127.0.0.1"), b.GetRemoteComputer());
}

TEST(CallerStart, WithoutRemotePortStartsAtOnceAndReportsItsPort) {
    TestCaller caller;
    EXPECT_EQ(0, caller.GetMyUDPPort());
    EXPECT_EQ(CString(L"0.0.0.0"), caller.GetRemoteComputer());
    EXPECT_FALSE(caller.IsActive());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(caller.StartDispatchThread(0, L"127.0.0.1", "", 0));
    EXPECT_LT(MillisSince(start), 900);   // no ping wait
    EXPECT_TRUE(caller.IsActive());
    EXPECT_NE(0, caller.GetMyUDPPort());
    caller.StopDispatchThread();
    EXPECT_FALSE(caller.IsActive());
    caller.StopDispatchThread();   // a second stop is harmless
}

TEST(CallerStart, StopOnNeverStartedCallerIsHarmless) {
    TestCaller caller;
    caller.StopDispatchThread();
    EXPECT_FALSE(caller.IsActive());
}

TEST(CallerStart, UnresolvableRemoteNameFailsTheStart) {
    TestCaller caller;
    EXPECT_FALSE(caller.StartDispatchThread(1234, L"no-such-host.invalid", "", 0));
    EXPECT_FALSE(caller.IsActive());
}

TEST(CallerStart, SecondStartReplacesTheFirstRun) {
    CallerPair pair;
    ASSERT_TRUE(pair.Start());
    const unsigned short serverPort = pair.server->GetMyUDPPort();
    ASSERT_TRUE(pair.client->StartDispatchThread(serverPort, L"127.0.0.1", "", 0));
    EXPECT_TRUE(pair.client->IsActive());
    CUdpDataBlockEx call = EchoCall(5, 77);
    ASSERT_TRUE(pair.client->CallProcedure(&call, 2000));
    EXPECT_TRUE(HoldsPattern(call, 5, 77));
}

TEST(CallerStart, DeletingThroughBasePointerStopsTheDerivedCaller) {
    std::unique_ptr<CRP_Caller> caller = std::make_unique<TestCaller>();
    ASSERT_TRUE(caller->StartDispatchThread(0, L"127.0.0.1", "", 0));
    caller.reset();   // ASan reports a leak or a bad delete otherwise
}

TEST_F(CallerPairTest, ReturnsOfEveryFramingSizeArriveWordForWord) {
    // 0: header only; 350: one full packet; 351: one pull; 32767: 94 packets.
    for (const std::int32_t count : {0, 3, 350, 351, 1000, 32767}) {
        SCOPED_TRACE(count);
        CUdpDataBlockEx call = EchoCall(count, count + 11);
        call.m_nReferenceNumber = 4242;
        ASSERT_TRUE(pair->client->CallProcedure(&call, 5000));
        EXPECT_EQ(RP_RETURN, call.m_nType);
        EXPECT_EQ(callertest::kProcEcho, call.m_nProcedure);
        EXPECT_EQ(0, call.m_nReadPos);
        EXPECT_TRUE(HoldsPattern(call, count, count + 11));
        if (count > 0) {
            EXPECT_EQ(callertest::Pattern(0, count + 11), call.GetLongData());
        }
    }
}

TEST_F(CallerPairTest, BothSidesCallEachOtherAtTheSameTime) {
    constexpr int kCalls = 60;
    auto other = std::async(std::launch::async, [] {
        int ok = 0;
        for (int i = 0; i < kCalls; ++i) {
            CUdpDataBlockEx call = EchoCall(400, i);
            if (pair->server->CallProcedure(&call, 3000) && HoldsPattern(call, 400, i)) ++ok;
        }
        return ok;
    });
    int ok = 0;
    for (int i = 0; i < kCalls; ++i) {
        CUdpDataBlockEx call = EchoCall(20, -i);
        if (pair->client->CallProcedure(&call, 3000) && HoldsPattern(call, 20, -i)) ++ok;
    }
    EXPECT_EQ(kCalls, ok);
    EXPECT_EQ(kCalls, other.get());
}

TEST_F(CallerPairTest, EventReachesThePeerHook) {
    const int before = pair->server->eventsSeen.load();
    CUdpDataBlockEx event(callertest::kProcEvent);
    event.AppendLongData(31337);
    pair->client->SendEvent(&event);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return pair->server->eventsSeen.load() > before; }, 2000ms));
    EXPECT_EQ(31337, pair->server->lastEventValue.load());
    // The same block again: its packet cursor moved, so a zero-byte datagram goes out;
    // the peer treats it as a failed receive, recovers and stays reachable.
    pair->client->SendEvent(&event);
    std::this_thread::sleep_for(50ms);
    CUdpDataBlockEx call = EchoCall(2, 5);
    EXPECT_TRUE(pair->client->CallProcedure(&call, 2000));
    EXPECT_EQ(before + 1, pair->server->eventsSeen.load());
}

TEST_F(CallerPairTest, CallToPortZeroReturnsTrueAndLeavesTheBlock) {
    CSockAddr nowhere(0x7F000001u, 0);
    CUdpDataBlockEx call = EchoCall(3, 3);
    EXPECT_TRUE(pair->client->CallProcedure(&nowhere, &call, 100));
    EXPECT_EQ(RP_CALL, call.m_nType);
    EXPECT_EQ(2, call.m_nLength);
}

TEST_F(CallerPairTest, TimeOutAgainstASilentHook) {
    CUdpDataBlockEx call(callertest::kProcSilent);
    call.AppendLongData(9);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pair->client->CallProcedure(&call, 200));
    EXPECT_GE(MillisSince(start), 150);
    EXPECT_EQ(RP_CALL, call.m_nType);   // unchanged
    EXPECT_EQ(9, call.GetLongData());
}

TEST_F(CallerPairTest, BreakBeforeACallEndsTheNextCallAtOnce) {
    pair->client->BreakActiveCall();
    CUdpDataBlockEx call(callertest::kProcSilent);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(pair->client->CallProcedure(&call, 5000));
    EXPECT_LT(MillisSince(start), 2500);
    CUdpDataBlockEx echo = EchoCall(1, 1);   // the break was taken: the next call works
    EXPECT_TRUE(pair->client->CallProcedure(&echo, 2000));
}

TEST_F(CallerPairTest, BreakDuringACallEndsItWithFalse) {
    CUdpDataBlockEx call(callertest::kProcSilent);
    const auto start = std::chrono::steady_clock::now();
    auto waiting = std::async(std::launch::async, [&] { return pair->client->CallProcedure(&call, 0); });
    std::this_thread::sleep_for(100ms);
    pair->client->BreakActiveCall();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(3s));
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(MillisSince(start), 2500);
}

TEST_F(CallerPairTest, LateReturnAfterTimeOutDoesNotDisturbTheNextCall) {
    CUdpDataBlockEx slow(callertest::kProcSleep);
    slow.AppendLongData(300);
    EXPECT_FALSE(pair->client->CallProcedure(&slow, 50));
    CUdpDataBlockEx call = EchoCall(7, 8);
    ASSERT_TRUE(pair->client->CallProcedure(&call, 3000));
    EXPECT_TRUE(HoldsPattern(call, 7, 8));
}

TEST(CallerStop, StopWhileACallWaitsReleasesItWithTrue) {
    CallerPair pair;
    ASSERT_TRUE(pair.Start());
    CUdpDataBlockEx call(callertest::kProcSilent);
    auto waiting = std::async(std::launch::async, [&] { return pair.client->CallProcedure(&call, 0); });
    std::this_thread::sleep_for(100ms);
    pair.client->StopDispatchThread();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(3s));
    EXPECT_TRUE(waiting.get());
    EXPECT_FALSE(pair.client->IsActive());
}

TEST(CallerPing, SilentPeerTurnsInactiveWithinAboutOnePointThreeSeconds) {
    CallerPair pair;
    ASSERT_TRUE(pair.Start());
    ASSERT_TRUE(pair.client->IsActive());
    pair.server->StopDispatchThread();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !pair.client->IsActive(); }, 4000ms));
    EXPECT_LT(MillisSince(start), 3000);   // 1300 ms by design, wide margin for a noisy machine
}

TEST(CallerPing, PingWithoutPeerLeavesActiveUnchanged) {
    TestCaller caller;
    ASSERT_TRUE(caller.StartDispatchThread(0, L"127.0.0.1", "", 0));
    caller.Ping();
    EXPECT_TRUE(caller.IsActive());
}

TEST(CallerBroadcast, PortZeroGivesNull) {
    TestCaller caller;
    ASSERT_TRUE(caller.StartDispatchThread(0, L"127.0.0.1", "", 0));
    CUdpDataBlockEx call(7);
    EXPECT_EQ(nullptr, caller.BroadcastCall(0, &call, 10));
}

TEST(CallerReference, NumbersAreUniqueAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::vector<std::int32_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) taken[t].push_back(CRP_Caller::TakeReferenceNumber());
        });
    for (auto& thread : threads) thread.join();
    std::vector<std::int32_t> all;
    for (auto& part : taken) all.insert(all.end(), part.begin(), part.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()));
    EXPECT_GE(all.front(), 1);
}

TEST(CallerCopy, AssignmentCopiesDataButKeepsOwnSocketsAndEvents) {
    TestCaller source;
    ASSERT_TRUE(source.StartDispatchThread(0, L"127.0.0.1", "", 0));
    source.SetRemoteSocket(4321, 0x7F000001u);
    source.m_ReplyBlock.AppendLongData(5);
    {
        TestCaller copy;
        void* ownReturnEvent = copy.m_hReturnEvent;
        static_cast<CRP_Caller&>(copy) = source;
        EXPECT_EQ(ownReturnEvent, copy.m_hReturnEvent);
        EXPECT_NE(source.m_Socket.m_hSocket, copy.m_Socket.m_hSocket);
        EXPECT_EQ(4321, copy.m_nRemotePort);
        EXPECT_EQ(CString(L"127.0.0.1"), copy.GetRemoteComputer());
        EXPECT_EQ(1, copy.m_ReplyBlock.m_nLength);
    }   // the copy's destruction must not touch the source's socket or threads
    CSockAddr self(0x7F000001u, source.GetMyUDPPort());
    TestCaller probe;
    ASSERT_TRUE(probe.StartDispatchThread(0, L"127.0.0.1", "", 0));
    CUdpDataBlockEx call = EchoCall(4, 4);
    EXPECT_TRUE(probe.CallProcedure(&self, &call, 2000));
}

}  // namespace
