// Several threads on one caller, over real loopback sockets: every call ends with its
// own answer or false, whatever the other threads' calls, answers and datagrams do.
#include "caller_test_util.h"
#include "support/loopback.h"

#include <gtest/gtest.h>

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

// A server and a client of the extended kind, the client's calls and chunks going to the server.
struct ExtendedPair {
    std::unique_ptr<TestCallerEx> server = Started<TestCallerEx>();
    std::unique_ptr<TestCallerEx> client = Started<TestCallerEx>();
    ExtendedPair() {
        if (!server || !client) return;
        client->SetRemoteSocket(server->GetMyUDPPort(), kLoopback);
        client->SetMultiTarget(server->GetMyUDPPort(), kLoopback);
    }
};

// One echo call whose words are unique to (thread, call): `callWords` words in all
// (more than 350 makes it a chunked call), answered with `answerWords` pattern words
// (more than 350 makes it a chunked answer). True when it came back as its own answer.
// With `to`, a one-packet call goes there instead of to the client's peer.
bool OwnAnswer(CRP_CallerEx& client, std::int32_t seed, std::int32_t callWords, std::int32_t answerWords,
               CSockAddr* to = nullptr) {
    CUdpDataBlockEx block = EchoCall(answerWords, seed);
    for (std::int32_t i = 2; i < callWords; ++i) block.AppendLongData(seed ^ i);
    const bool answered = to != nullptr ? client.CRP_Caller::CallProcedure(to, &block, kTimeoutMs)
                                        : client.CallProcedure(&block, kTimeoutMs);
    return answered && HoldsPattern(block, answerWords, seed);
}

// Runs `calls` calls on each of `threads` threads through `call(thread, index)`;
// returns how many did not end with their own answer.
template <typename Call>
int WrongAnswers(int threads, int calls, Call call) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t)
        running.emplace_back([&, t] {
            for (int i = 0; i < calls; ++i) wrong += call(t, i) ? 0 : 1;
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

}  // namespace
