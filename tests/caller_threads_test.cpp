// Several threads on one caller, over real loopback sockets: every call ends with its
// own answer or false, whatever the other threads' calls, answers and datagrams do.
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <barrier>
#include <future>
#include <sys/time.h>
#include <thread>

using namespace callertest;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kTimeoutMs = 3000;

// A started caller without a peer port (active at once), on a system-chosen port.
template <typename Caller>
std::unique_ptr<Caller> Started() {
    auto caller = std::make_unique<Caller>();
    if (!caller->StartDispatchThread(0, L"127.0.0.1", "", 0)) return nullptr;
    return caller;
}

// A started caller whose calls (and chunks) go to `server`; nullptr without a server.
template <typename Caller, typename Server>
std::unique_ptr<Caller> ClientOf(const std::unique_ptr<Server>& server) {
    auto client = server ? Started<Caller>() : nullptr;
    if (!client) return nullptr;
    client->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);
    if constexpr (std::is_base_of_v<CRP_CallerEx, Caller>) client->SetMultiTarget(server->GetMyUDPPort(), kLoopback);
    return client;
}

// A server and a client of the extended kind, the client's calls and chunks going to the server.
struct ExtendedPair {
    std::unique_ptr<TestCallerEx> server = Started<TestCallerEx>();
    std::unique_ptr<TestCallerEx> client = ClientOf<TestCallerEx>(server);
};

// One echo call whose words are unique to (thread, call): `callWords` words in all
// (more than 350 makes it a chunked call), answered with `answerWords` pattern words
// (more than 350 makes it a chunked answer, or for a plain caller a pulled one). True
// when it came back as its own answer. With `to`, a one-packet call goes there instead
// of to the client's peer.
template <typename Caller>
bool OwnAnswer(Caller& client, std::int32_t seed, std::int32_t callWords, std::int32_t answerWords,
               CSockAddr* to = nullptr, std::int32_t timeoutMs = kTimeoutMs) {
    CUdpDataBlockEx block = EchoCall(answerWords, seed);
    for (std::int32_t i = 2; i < callWords; ++i) block.AppendLongData(seed ^ i);
    const bool answered = to != nullptr ? client.CRP_Caller::CallProcedure(to, &block, timeoutMs)
                                        : client.CallProcedure(&block, timeoutMs);
    return answered && HoldsPattern(block, answerWords, seed);
}

// Runs `calls` calls on each of `threads` threads through `call(thread, index)`, the
// threads' calls of one index beginning together; returns how many did not end with
// their own answer.
template <typename Call>
int WrongAnswers(int threads, int calls, Call call) {
    std::atomic<int> wrong{0};
    std::barrier together(threads);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            for (int i = 0; i < calls; ++i) together.arrive_and_wait(), wrong += call(t, i) ? 0 : 1;
        });
    for (auto& thread : running) thread.join();
    return wrong.load();
}

std::int32_t Seed(int thread, int call) { return 1000 * (thread + 1) + call; }

// Threads 1 and 3 send chunked calls at once, thread 1's short answers arrive beside
// thread 0's chunked ones, and thread 2 calls a second server, so two senders'
// chunked answers arrive at once; thread 4 calls the other way.
TEST(ThreadedCaller, AMixOfAllKindsOfCallsFromFourThreadsAndTheOtherWay) {
    ExtendedPair pair;
    auto secondServer = Started<TestCallerEx>();
    ASSERT_TRUE(pair.server && pair.client && secondServer);
    CSockAddr second(kLoopback, secondServer->GetMyUDPPort());
    pair.client->SetChunksInFlight(3);
    pair.server->SetRemoteSocket(pair.client->GetMyUDPPort(), kLoopback);   // the fifth calls back
    pair.server->SetMultiTarget(pair.client->GetMyUDPPort(), kLoopback);
    static constexpr std::int32_t kCallWords[5] = {2, 900, 2, 400, 500};
    static constexpr std::int32_t kAnswerWords[5] = {1200, 2, 1000, 351, 800};
    EXPECT_EQ(0, WrongAnswers(5, 15, [&](int t, int i) {
                  return OwnAnswer(t == 4 ? *pair.server : *pair.client, Seed(t, i), kCallWords[t], kAnswerWords[t],
                                   t == 2 ? &second : nullptr);
              }));
}

TEST(ThreadedCaller, AnEmptyDatagramWithWaitingCallsKeepsTheCallersPort) {
    auto server = Started<TestCaller>();
    auto client = Started<TestCaller>();
    ASSERT_TRUE(server && client);
    client->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);
    const unsigned short clientPort = client->GetMyUDPPort();
    std::vector<std::thread> waiting;
    for (int t = 0; t < 4; ++t) {
        waiting.emplace_back([&] {
            CUdpDataBlockEx silent(kProcSilent);
            EXPECT_FALSE(client->CallProcedure(&silent, 1000));
        });
    }
    std::this_thread::sleep_for(100ms);   // both wait now
    testsupport::SendTo(testsupport::BoundLoopback(SOCK_DGRAM), clientPort, "", 0);
    for (auto& thread : waiting) thread.join();
    // The socket was recreated on the same port: calls to the client are still served.
    CSockAddr clientAddress(kLoopback, clientPort);
    CUdpDataBlockEx call = EchoCall(3, 77);
    EXPECT_TRUE(server->CallProcedure(&clientAddress, &call, kTimeoutMs));
    EXPECT_TRUE(HoldsPattern(call, 3, 77));
}

TEST(ThreadedCaller, ABroadcastServedDuringAnotherThreadsCallsIsAnsweredToItsSender) {
    const unsigned short broadcastPort = testsupport::LocalPort(testsupport::BoundLoopback(SOCK_DGRAM));
    auto server = Started<TestCaller>();
    auto serving = std::make_unique<TestCaller>();
    serving->broadcastAnswer = 4242;
    serving->broadcastDelayMs = 60;   // other threads' returns arrive while it serves the broadcast
    ASSERT_TRUE(server && serving->StartDispatchThread(0, L"127.0.0.1", "", broadcastPort));
    serving->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);
    std::atomic<bool> broadcastAnswered{false};
    std::thread calls([&] {
        for (int i = 0; i < 200 && !broadcastAnswered; ++i) {
            CUdpDataBlockEx call = EchoCall(1, i);
            serving->CallProcedure(&call, kTimeoutMs);
        }
    });
    // The broadcast as a broadcaster sends it, here straight to the port on loopback.
    const testsupport::Fd broadcaster = testsupport::BoundLoopback(SOCK_DGRAM);
    const std::int32_t broadcast[4] = {RP_BROADCAST, 9, 31337, 0};
    testsupport::SendTo(broadcaster, broadcastPort, broadcast, sizeof broadcast);
    std::int32_t answer[8] = {};
    const timeval wait{2, 0};
    ::setsockopt(broadcaster.Get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const auto got = ::recv(broadcaster.Get(), answer, sizeof answer, 0);
    broadcastAnswered = true;
    calls.join();
    ASSERT_EQ(20, got);
    EXPECT_EQ(RP_BROADCAST_RETURN, answer[0]);
    EXPECT_EQ(31337, answer[2]);
    EXPECT_EQ(4242, answer[4]);
}

TEST(ThreadedCaller, APeerAnswersFromAnotherOfItsAddresses) {
    // Bound to any address, the server answers a call to 127.0.0.2 from 127.0.0.1.
    ExtendedPair pair;
    ASSERT_TRUE(pair.server && pair.client);
    CSockAddr alias(0x7F000002u, pair.server->GetMyUDPPort());
    CUdpDataBlockEx call = EchoCall(3, 5);
    EXPECT_TRUE(pair.client->CRP_Caller::CallProcedure(&alias, &call, kTimeoutMs));
    EXPECT_TRUE(HoldsPattern(call, 3, 5));
    // A chunked answer too, with the remote computer given as 0.0.0.0.
    pair.client->SetRemoteSocket(pair.server->GetMyUDPPort(), L"0.0.0.0");
    EXPECT_TRUE(OwnAnswer(*pair.client, 6, 2, 700));
}

// A hook that takes long holds up the dispatcher only: the answer to another thread's
// call through the same caller is taken at once, also behind a datagram that waits
// for the dispatcher.
TEST(ThreadedCaller, AnotherThreadsAnswerIsTakenWhileASlowHookRuns) {
    auto busy = Started<TestCallerEx>(), peer = Started<TestCallerEx>();
    auto asker = ClientOf<TestCallerEx>(busy);
    ASSERT_TRUE(peer && asker);
    CSockAddr toPeer(kLoopback, peer->GetMyUDPPort());
    auto slow = std::async(std::launch::async, [&] {
        CUdpDataBlockEx call(kProcSleep);
        call.AppendLongData(1500);
        return asker->CallProcedure(&call, 5000);
    });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return busy->inSleep.load(); }, 5s));
    for (const bool behindAnEvent : {false, true}) {
        CUdpDataBlockEx event(kProcEvent);
        if (behindAnEvent) asker->SendEvent(&event);
        EXPECT_TRUE(OwnAnswer(*busy, 7 + behindAnEvent, 2, 5, &toPeer, 1000)) << "behind an event: " << behindAnEvent;
        EXPECT_TRUE(busy->inSleep) << "behind an event: " << behindAnEvent << ": answered only once the hook ended";
    }
    EXPECT_TRUE(slow.get());
}

// Two answers of 300,000 words (868 chunks) at once, to two callers whose dispatchers
// lag 10 ms after every 256th chunk: both arrive whole, a few rounds.
// A hook that calls another peer gets its answer: the hook's thread reads its own return.
class Relay : public TestCallerEx {
public:
    CSockAddr onward;
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        const std::int32_t words = block->GetLongData();
        CUdpDataBlockEx call = EchoCall(words, block->GetLongData());
        const bool answered = CRP_Caller::CallProcedure(&onward, &call, 2000);
        block->ResetForReturn();
        for (std::int32_t i = 0; answered && i < call.m_nLength; ++i) block->AppendLongData(call.m_pData[i]);
        SendReturn(block);
    }
};

TEST(ThreadedCaller, ACallFromInsideAHookGetsItsAnswer) {
    auto relay = std::make_unique<Relay>();
    auto end = Started<TestCallerEx>();
    ASSERT_TRUE(end && relay->StartDispatchThread(0, L"127.0.0.1", "", 0));
    relay->onward = CSockAddr(kLoopback, end->GetMyUDPPort());
    auto client = ClientOf<TestCallerEx>(relay);
    ASSERT_TRUE(client);
    CUdpDataBlockEx call(kProcEcho);
    call.AppendLongData(300);
    call.AppendLongData(11);
    ASSERT_TRUE(client->CallProcedure(&call, 3000));
    EXPECT_TRUE(HoldsPattern(call, 300, 11));
}

TEST(ThreadedCaller, TwoLongChunkedAnswersAtOnceToLaggingReceiversArriveWhole) {
    auto server = Started<TestCallerEx>();
    std::unique_ptr<TestCallerEx> clients[2] = {ClientOf<TestCallerEx>(server), ClientOf<TestCallerEx>(server)};
    ASSERT_TRUE(clients[0] && clients[1]);
    for (auto& client : clients) client->returnChunkDelayMs = 10, client->returnChunkDelayEvery = 256;
    EXPECT_EQ(0, WrongAnswers(2, 3, [&](int t, int i) { return OwnAnswer(*clients[t], Seed(t, i), 2, 300000); }));
}

// Plain callers (one with two threads) call one plain server at once for 700-word
// answers, which they pull packet by packet: every call gets its own, whole.
TEST(ThreadedCaller, PulledAnswersOfCallsAtOnceToOnePlainServerArriveWhole) {
    auto server = Started<TestCaller>();
    std::unique_ptr<TestCaller> clients[2] = {ClientOf<TestCaller>(server), ClientOf<TestCaller>(server)};
    ASSERT_TRUE(clients[0] && clients[1]);
    EXPECT_EQ(0, WrongAnswers(3, 10, [&](int t, int i) { return OwnAnswer(*clients[t / 2], Seed(t, i), 2, 700, nullptr, 500); }));
}

// Sixteen threads through one caller: one of them at a time polls the socket and
// completes the others' returns, the place passing from thread to thread as calls end;
// every call gets its own answer, one packet or pulled.
TEST(ThreadedCaller, SixteenThreadsThroughOneCallerEachGetTheirOwnAnswer) {
    auto server = Started<TestCaller>();
    auto client = ClientOf<TestCaller>(server);
    ASSERT_TRUE(client);
    EXPECT_EQ(0, WrongAnswers(16, 25, [&](int t, int i) {
                  return OwnAnswer(*client, Seed(t, i), 2, t % 4 == 0 ? 700 : 5);
              }));
}

// Stops at varying points of a chunked call of 290 chunks without a time-out, one
// chunk or eight in flight: the call always comes back. Calls begun after the stop end
// at once with false.
TEST(ThreadedCaller, AStopEndsAChunkedCallWithoutTimeOutAndLaterCallsAtOnce) {
    auto server = Started<TestCallerEx>();
    auto client = ClientOf<TestCallerEx>(server);
    ASSERT_TRUE(client);
    for (int round = 0; round < 60; ++round) {
        ASSERT_TRUE(client->StartDispatchThread(0, L"127.0.0.1", "", 0));
        client->SetChunksInFlight(round % 2 == 0 ? 1 : 8);
        const std::uint64_t chunksBefore = server->GetCounters().chunks_received;
        auto ended = std::make_shared<std::promise<bool>>();   // shared: a call that never ends outlives the test
        std::future<bool> result = ended->get_future();
        std::thread([ended, round, caller = client.get()] {
            auto call = PatternCall(kProcRecord, 100000, round);
            try {
                ended->set_value(caller->CallProcedure(call.get(), 0));
            } catch (CBlockingSocketException* e) {
                e->Delete();
                ended->set_value(false);
            }
        }).detach();
        for (int spins = 0; spins < 1000000 && server->GetCounters().chunks_received == chunksBefore; ++spins) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(20 * (round % 20)));   // the call has begun
        client->StopDispatchThread();
        const bool cameBack = result.wait_for(5s) == std::future_status::ready;
        for (int i = 0; i < 5 && result.wait_for(200ms) != std::future_status::ready; ++i) client->BreakActiveCall();
        if (result.wait_for(0s) != std::future_status::ready) (void)client.release();   // not even breaks end it: left to it
        ASSERT_TRUE(cameBack) << "round " << round << ": the call still waits 5 s after the stop";
    }
    client->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);
    for (const std::int32_t words : {2, 1000}) {   // one packet, three chunks
        auto call = PatternCall(kProcRecord, words, 1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client->CallProcedure(call.get(), 2000)) << words << " words";
        EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms) << words << " words";
    }
}

}  // namespace
