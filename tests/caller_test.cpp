// Two real callers on loopback, each the other's peer: start, liveness, returns of
// every framing size, breaks, time-outs, stop and restart.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/socket_helpers.h"
#include "support/test_support.h"
#include "talvex05u/platform/Event.h"

#include <gtest/gtest.h>

#include <future>
#include <tuple>

using namespace callertest;
using namespace std::chrono_literals;

namespace {

std::int64_t MillisSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A started pair: `server` without a peer port (active at once, on a port of its own),
// `client` pinging it.
class CallerPairTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "", 0) && server.GetMyUDPPort() != 0);
        ASSERT_TRUE(client.StartDispatchThread(server.GetMyUDPPort(), L"127.0.0.1", "", 0));
        server.SetRemoteSocket(client.GetMyUDPPort(), kLoopback);
    }
    TestCaller server, client;
};

// A loopback port free a moment ago.
unsigned short FreePort() { return testsupport::LocalPort(testsupport::BoundLoopback(SOCK_DGRAM)); }

// The port it reports is CallerPairTest's to check; a stop, and the destructor's
// stop after it, StopWhileACallWaitsReleasesItWithTrue's.
TEST(CallerStart, MutualPeersBothBecomeActiveWithoutRemotePortAtOnceButNotForAnUnknownHost) {
    const unsigned short portA = FreePort(), portB = FreePort();
    TestCaller a, b, alone;
    a.SetMyPort(portA);
    b.SetMyPort(portB);
    auto startA = std::async(std::launch::async, [&] { return a.StartDispatchThread(portB, L"127.0.0.1", "127.0.0.1", 0); });
    EXPECT_TRUE(b.StartDispatchThread(portA, L"localhost", "", 0));
    EXPECT_TRUE(startA.get());
    EXPECT_TRUE(a.IsActive() && b.IsActive());
    for (TestCaller* c : {&a, &b}) EXPECT_EQ(CString(L"127.0.0.1"), c->GetRemoteComputer());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(alone.StartDispatchThread(0, L"127.0.0.1", "", 0));
    EXPECT_LT(MillisSince(start), 900);   // no ping wait
    EXPECT_TRUE(alone.IsActive());
    EXPECT_FALSE(alone.StartDispatchThread(1234, L"no-such-host.invalid", "", 0));
}

TEST_F(CallerPairTest, SecondStartReplacesTheFirstRunThenReturnsOfEveryFramingSizeArriveWordForWord) {
    ASSERT_TRUE(client.StartDispatchThread(server.GetMyUDPPort(), L"127.0.0.1", "", 0));
    EXPECT_TRUE(client.IsActive());
    // 0: header only; 350: one full packet; 351: one pull; 32767: 94 packets.
    for (const std::int32_t count : {0, 350, 351, 32767}) {
        SCOPED_TRACE(count);
        CUdpDataBlockEx call = EchoCall(count, count + 11);
        ASSERT_TRUE(client.CallProcedure(&call, 5000));
        EXPECT_EQ(std::make_tuple(RP_RETURN, kProcEcho, 0), std::make_tuple(call.m_nType, call.m_nProcedure, call.m_nReadPos));
        EXPECT_TRUE(HoldsPattern(call, count, count + 11));
    }
}

TEST_F(CallerPairTest, TimeOutThenALateReturnLandsInTheReturnBlockButNotInTheNextCall) {
    CUdpDataBlockEx call(kProcSilent);
    call.AppendLongData(9);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.CallProcedure(&call, 200));
    EXPECT_GE(MillisSince(start), 150);
    EXPECT_EQ(std::make_tuple(RP_CALL, 9), std::make_tuple(call.m_nType, call.GetLongData()));   // unchanged
    CUdpDataBlockEx slow(kProcSleep);
    slow.AppendLongData(300);
    EXPECT_FALSE(client.CallProcedure(&slow, 50));
    // The late return is still taken into the caller's return block and sets the return
    // event, until the next call starts; no call takes it as its answer.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return talvex::IsEventSet(client.m_hReturnEvent); }, 3s));
    const CUdpDataBlockEx late = client.ReturnBlock();
    EXPECT_EQ(std::make_tuple(kProcSleep, 1), std::make_tuple(late.m_nProcedure, late.m_nLength));
    CUdpDataBlockEx next = EchoCall(7, 8);
    ASSERT_TRUE(client.CallProcedure(&next, 3000));
    EXPECT_TRUE(HoldsPattern(next, 7, 8));
}

// The return of call `reference` holding 5 pattern words of `seed`, as one packet.
std::vector<std::int32_t> ReturnPacket(std::int32_t reference, std::int32_t seed) {
    std::vector<std::int32_t> packet{RP_RETURN, kProcEcho, reference, 5 | (5 << 16)};
    for (std::int32_t i = 0; i < 5; ++i) packet.push_back(Pattern(i, seed));
    return packet;
}

// The dispatcher marks a return complete and sets the return event after it lets go
// of the lock; a call that timed out in between leaves that late set to the next
// call. The next call must see that the return is not its own and wait on; a return
// from anywhere but its peer is not its answer either.
TEST(CallerReturns, LateEventOfAnEarlierCallAndStrangersAreWaitedThrough) {
    TestCaller caller;
    SentPackets sent;
    talvex::DatagramSeam::InstallSink(caller, &sent);
    CSockAddr peer(kLoopback, 4000);
    CUdpDataBlockEx first = EchoCall(3, 1);
    EXPECT_FALSE(caller.CallProcedure(&peer, &first, 20));
    const std::int32_t firstReference = sent.Packet(0).at(2);

    CUdpDataBlockEx second = EchoCall(3, 2);
    auto waiting = std::async(std::launch::async, [&] { return caller.CallProcedure(&peer, &second, 10000); });
    const std::int32_t secondReference = sent.Packet(1).at(2);
    talvex::SetEvent(caller.m_hReturnEvent);            // the first call's late event
    Feed(caller, ReturnPacket(firstReference, 11));     // and its late return
    Feed(caller, ReturnPacket(secondReference, 12), -1, 4999); // the right reference from a stranger
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(100ms)) << "woken by an answer not its own";
    Feed(caller, ReturnPacket(secondReference, 13));
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(5s));
    EXPECT_TRUE(waiting.get());
    EXPECT_TRUE(HoldsPattern(second, 5, 13));
}

TEST_F(CallerPairTest, BreakBeforeAndDuringACallEndsItWithFalse) {
    client.BreakActiveCall();
    CUdpDataBlockEx call(kProcSilent);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.CallProcedure(&call, 5000));
    EXPECT_LT(MillisSince(start), 2500);
    CUdpDataBlockEx echo = EchoCall(1, 1);   // the break was taken: the next call works
    EXPECT_TRUE(client.CallProcedure(&echo, 2000));
    start = std::chrono::steady_clock::now();
    auto waiting = std::async(std::launch::async, [&] { return client.CallProcedure(&call, 0); });
    std::this_thread::sleep_for(100ms);
    client.BreakActiveCall();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(3s));
    EXPECT_FALSE(waiting.get());
    EXPECT_LT(MillisSince(start), 2500);
}

TEST_F(CallerPairTest, StopWhileACallWaitsReleasesItWithTrue) {
    CUdpDataBlockEx call(kProcSilent);
    auto waiting = std::async(std::launch::async, [&] { return client.CallProcedure(&call, 0); });
    std::this_thread::sleep_for(100ms);
    client.StopDispatchThread();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(3s));
    EXPECT_TRUE(waiting.get());
    EXPECT_FALSE(client.IsActive());
}

TEST_F(CallerPairTest, SilentPeerTurnsInactiveWithinAboutOnePointThreeSeconds) {
    ASSERT_TRUE(client.IsActive());
    server.StopDispatchThread();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !client.IsActive(); }, 4000ms));
    EXPECT_LT(MillisSince(start), 3000);   // 1300 ms by design, wide margin for a noisy machine
}

TEST_F(CallerPairTest, AssignmentCopiesDataButKeepsOwnSocketsAndEvents) {
    {
        TestCaller copy;
        void* ownReturnEvent = copy.m_hReturnEvent;
        static_cast<CRP_Caller&>(copy) = server;
        EXPECT_EQ(ownReturnEvent, copy.m_hReturnEvent);
        EXPECT_NE(server.m_Socket.m_hSocket, copy.m_Socket.m_hSocket);
        EXPECT_EQ(client.GetMyUDPPort(), copy.m_nRemotePort);
    }   // the copy's destruction must not touch the source's socket or threads
    CUdpDataBlockEx call = EchoCall(4, 4);
    EXPECT_TRUE(client.CallProcedure(&call, 2000));
}

}  // namespace

namespace {

// The mistakes a new user makes end in false and a line that says what to do, never in a
// silent success: a call with no peer, a long call without a multi target (its chunks go to
// the peer, which stays), a second server on a port in use; a clean start and stop say nothing.
TEST(CallerMistakes, AreToldAndNeverEndInASilentSuccess) {
    std::vector<std::string> lines;
    talvex::SetDiagnosticSink(&testsupport::CollectLine, &lines);
    TestCallerEx serverOnStack, clientOnStack;   // the chunk stores are made on the heap when needed
    TestCallerEx* server = &serverOnStack;
    TestCallerEx* client = &clientOnStack;
    ASSERT_TRUE(server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    ASSERT_TRUE(client->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    CUdpDataBlockEx noPeer = EchoCall(3, 1);
    EXPECT_FALSE(client->CallProcedure(&noPeer, 1000));
    EXPECT_EQ(noPeer.m_nLength, 2) << "the block is the caller's own";
    EXPECT_EQ(client->GetCounters().calls, 1u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("SetRemoteSocket"), std::string::npos) << lines[0];

    client->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);   // no SetMultiTarget
    auto longCall = PatternCall(kProcRecord, 1000, 3);
    EXPECT_TRUE(client->CallProcedure(longCall.get(), 2000));
    EXPECT_EQ(longCall->GetLongData(), 1000);
    CUdpDataBlockEx shortCall = EchoCall(4, 5);
    EXPECT_TRUE(client->CallProcedure(&shortCall, 2000) && HoldsPattern(shortCall, 4, 5)) << "the peer stays";

    TestCaller second;
    second.SetMyPort(server->GetMyUDPPort());
    EXPECT_FALSE(second.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    EXPECT_EQ(second.GetMyUDPPort(), 0);
    client->StopDispatchThread();
    server->StopDispatchThread();
    talvex::SetDiagnosticSink(nullptr, nullptr);
    for (const std::string& line : lines) EXPECT_EQ(line.find("Unknown error code"), std::string::npos) << line;
}

}  // namespace
