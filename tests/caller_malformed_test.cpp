// The dispatcher against bad and unusual datagrams: its per-datagram logic through
// the test seam (a table, return pulls), and a live caller that keeps
// serving real calls while malformed datagrams of every type hit it.
#include "caller/DatagramSeam.h"
#include "caller_test_util.h"
#include "support/loopback.h"
#include "support/test_support.h"
#include "talvex05u/platform/Event.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <tuple>

using namespace callertest;
using namespace std::chrono_literals;

namespace {

class SeamTest : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(caller, &sink); }
    void Feed(std::vector<std::int32_t> words, int bytes = -1, std::uint16_t from = 4000) {
        callertest::Feed(caller, std::move(words), bytes, from);
    }
    TestCaller caller;
    SentPackets sink;
};

TEST_F(SeamTest, EachDatagramGetsItsExactAnswer) {
    struct Row { std::vector<std::int32_t> words; int bytes; std::uint16_t from; std::vector<std::int32_t> answer; int answerBytes; bool senderKept; };
    const Row rows[] = {
        {{RP_PING}, 4, 4001, {RP_PING_ANSWER}, 16, true},            // a 4-byte ping is a ping
        {{RP_PING, 0, 0, 0}, 16, 0, {}, 0, true},                               // sender port 0: no answer
        {{RP_BROADCAST, 6, 900, 0}, 16, 4002, {RP_BROADCAST_RETURN, 6, 900}, 20, true},
        {{RP_CALL, kProcEvent, 1, 5 | (5 << 16)}, 16, 4005, {}, 0, true},       // refused packet: hook runs
        {{0, 0, 0, 0}, 16, 4006, {}, 0, true}, {{5, 0, 0, 0}, 16, 4012, {}, 0, true}, {{6, 0, 0, 0}, 4, 4013, {}, 0, true},
        {{10, 0, 0, 0}, 16, 4014, {}, 0, true}, {{13, 0, 0, 0}, 8, 4007, {}, 0, true}, {{-1, 0, 0, 0}, 16, 4008, {}, 0, true},
        {{RP_CALL}, 3, 4009, {}, 0, false}, {{RP_PING}, 1, 4010, {}, 0, false}, {{RP_RETURN}, 0, 4011, {}, 0, false},
    };
    std::uint16_t lastSender = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.from);
        sink.sent.clear();
        Feed(row.words, row.bytes, row.from);
        if (row.senderKept) lastSender = row.from;
        EXPECT_EQ(lastSender, caller.m_addrLastSender.Port());
        ASSERT_EQ(row.answer.empty() ? 0u : 1u, sink.sent.size());
        if (row.answer.empty()) continue;
        const auto& sent = sink.sent[0];
        EXPECT_EQ(std::make_tuple(row.answer, row.answerBytes, int{row.from}),
                  std::make_tuple(std::vector<std::int32_t>(sent.words.begin(), sent.words.begin() + static_cast<long>(row.answer.size())), sent.bytes, sent.port));
    }
    EXPECT_EQ(1, caller.eventsSeen.load());
}

TEST_F(SeamTest, ThousandWordReturnIsPulledAt350And700ThenSignalled) {
    CUdpDataBlockEx reply(9);
    reply.m_nType = RP_RETURN;
    reply.m_nReferenceNumber = 777;
    AppendPattern(&reply, 1000, 3);
    caller.m_ReturnBlock.Clear();
    caller.m_ReturnBlock.m_nReferenceNumber = 777;
    talvex::ResetEvent(caller.m_hReturnEvent);
    std::int32_t record[talvex::kPacketRecordWords];
    for (const std::int16_t start : {0, 350, 700, 700}) {   // the last one a late copy: dropped
        reply.GetPacketAt(start, record, true);
        sink.sent.clear();
        Feed(std::vector<std::int32_t>(record + 1, record + 1 + record[0] / 4));
        EXPECT_EQ(start == 700, talvex::IsEventSet(caller.m_hReturnEvent));
        if (start < 700) EXPECT_EQ((std::vector<std::int32_t>{RP_NEXT_PACKET, 9, 777, start + 350}), sink.sent.at(0).words);
        else EXPECT_TRUE(sink.sent.empty());
    }
    EXPECT_EQ(0, caller.m_ReturnBlock.m_nReferenceNumber);
    EXPECT_TRUE(HoldsPattern(caller.m_ReturnBlock, 1000, 3));
}

TEST_F(SeamTest, FurtherPacketsOfAnAnswerGoOnlyToItsCaller) {
    CUdpDataBlockEx call = EchoCall(1000, 4);   // the hook answers 1000 words: packet 0 goes out at once
    call.m_nReferenceNumber = 55;
    std::int32_t record[talvex::kPacketRecordWords];
    call.GetPacketAt(0, record, true);
    Feed(std::vector<std::int32_t>(record + 1, record + 1 + record[0] / 4), -1, 4001);
    ASSERT_EQ(1u, sink.sent.size());
    EXPECT_EQ(4001, sink.sent[0].port);
    // Another caller with the same reference number asks for the rest: nothing for it.
    Feed({RP_NEXT_PACKET, kProcEcho, 55, 350}, -1, 4002);
    EXPECT_EQ(1u, sink.sent.size());
    Feed({RP_NEXT_PACKET, kProcEcho, 55, 350}, -1, 4001);
    ASSERT_EQ(2u, sink.sent.size());
    EXPECT_EQ(std::make_tuple(4001, 700), std::make_tuple(sink.sent[1].port, sink.sent[1].words[3] & 0xFFFF)) << "the packet from 350 to 700";
}

// A call whose header announces words it does not carry must not hand the hook the
// words of an earlier sender's call (a fault the dispatcher fuzzer found).
TEST_F(SeamTest, CallThatCarriesNoWordsDoesNotSeeAnEarlierCallsWords) {
    Feed({RP_CALL, kProcRecord, 1, 2 | (2 << 16), 111, 222}, 24, 4001);
    Feed({RP_CALL, kProcRecord, 2, 0 | (2 << 16)}, 16, 4002);
    ASSERT_EQ(2, caller.callsServed.load());
    const auto seen = caller.LastCall().data;
    EXPECT_EQ((std::vector<std::int32_t>{0, 0}), seen) << "the words it announced but did not carry read as zeros";
}

void SendRaw(const void* bytes, std::size_t size, unsigned short port) {
    const testsupport::Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    const sockaddr_in to = testsupport::LoopbackAddress(port);
    ::sendto(fd.Get(), bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

TEST(CallerUnderFire, MalformedDatagramsOfEveryTypeDoNotDisturbRealCalls) {
    std::vector<std::vector<char>> datagrams;   // every type that is not served, cut at every size
    for (std::int32_t type = -1; type <= 13; ++type) {
        if (type == RP_CALL || type == RP_BROADCAST || type == RP_MULTI_CALL) continue;
        const std::int32_t words[] = {type, 1, 0x7FFF0000 + type, 350 | (700 << 16), 1, 2, 3};
        for (std::size_t bytes : {1, 2, 3, 4, 8, 12, 15, 16, 17, 20})
            datagrams.emplace_back(reinterpret_cast<const char*>(words), reinterpret_cast<const char*>(words) + bytes);
    }
    TestCaller server, client;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "", 0));
    ASSERT_TRUE(client.StartDispatchThread(server.GetMyUDPPort(), L"127.0.0.1", "", 0));
    std::atomic<bool> done{false};
    auto attacker = std::async(std::launch::async, [&] {
        int rounds = 0;
        for (; !done && rounds < 200; ++rounds, std::this_thread::sleep_for(2ms))
            for (const auto& d : datagrams)
                for (unsigned short port : {server.GetMyUDPPort(), client.GetMyUDPPort()}) SendRaw(d.data(), d.size(), port);
        return rounds;
    });
    int ok = 0;
    for (int i = 0; i < 150; ++i) {
        CUdpDataBlockEx call = EchoCall(1 + (i * 37) % 1200, i);
        ok += client.CallProcedure(&call, 3000) && HoldsPattern(call, 1 + (i * 37) % 1200, i);
    }
    done = true;
    EXPECT_GT(attacker.get(), 0);
    EXPECT_EQ(150, ok);
    EXPECT_TRUE(client.IsActive());
}

}  // namespace
