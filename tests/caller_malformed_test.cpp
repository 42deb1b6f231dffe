// The dispatcher against bad and unusual datagrams: the per-datagram logic through
// its test seam (table-driven, plus random bytes), and a raw socket throwing
// malformed datagrams at a live caller while real calls go on.
#include "caller/DatagramSeam.h"
#include "caller_test_util.h"
#include "support/test_support.h"
#include "talvex05u/platform/Event.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using callertest::EchoCall;
using callertest::HoldsPattern;
using callertest::TestCaller;
using namespace std::chrono_literals;

namespace {

struct SentDatagram {
    std::vector<std::int32_t> words;
    int bytes;
    CSockAddr to;
};

class RecordingSink : public talvex::DatagramSink {
public:
    void OnSend(const std::int32_t* packet, int bytes, const CSockAddr& destination) override {
        sent.push_back({std::vector<std::int32_t>(packet, packet + (bytes + 3) / 4), bytes, destination});
    }
    std::vector<SentDatagram> sent;
};

// A caller that never starts; datagrams reach it only through the seam.
class SeamTest : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(caller, &sink); }
    void Feed(std::vector<std::int32_t> words, int bytes = -1) {
        if (bytes < 0) bytes = static_cast<int>(words.size() * 4);
        words.resize(512, 0);
        talvex::DatagramSeam::Handle(caller, words.data(), bytes, peer);
    }
    TestCaller caller;
    RecordingSink sink;
    CSockAddr peer{0x7F000001u, 4000};
};

TEST_F(SeamTest, PingIsAnsweredUnlessTheSenderPortIsZero) {
    Feed({RP_PING}, 4);   // a 4-byte ping is a ping
    ASSERT_EQ(1u, sink.sent.size());
    EXPECT_EQ(16, sink.sent[0].bytes);
    EXPECT_EQ(RP_PING_ANSWER, sink.sent[0].words[0]);
    EXPECT_EQ(4000, sink.sent[0].to.Port());
    peer = CSockAddr(0x7F000001u, 0);
    Feed({RP_PING, 0, 0, 0});
    EXPECT_EQ(1u, sink.sent.size());
}

TEST_F(SeamTest, SenderIsRecordedForEveryDatagramOfFourBytesOrMore) {
    struct Case { std::int32_t type; int bytes; bool recorded; };
    const Case cases[] = {{0, 16, true}, {5, 16, true}, {6, 4, true}, {10, 16, true}, {13, 8, true},
                          {-1, 16, true}, {RP_CALL, 3, false}, {RP_PING, 1, false}, {RP_RETURN, 0, false}};
    std::uint16_t port = 5000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        peer = CSockAddr(0x7F000001u, ++port);
        Feed({c.type, 0, 0, 0}, c.bytes);
        EXPECT_EQ(c.recorded ? port : port - 1, caller.m_addrLastSender.Port());
        if (!c.recorded) caller.m_addrLastSender = CSockAddr(0x7F000001u, port);
    }
    EXPECT_TRUE(sink.sent.empty());
}

TEST_F(SeamTest, ThousandWordReturnIsPulledAt350And700ThenSignalled) {
    CUdpDataBlockEx reply(9);
    reply.m_nType = RP_RETURN;
    reply.m_nReferenceNumber = 777;
    callertest::AppendPattern(&reply, 1000, 3);
    caller.m_ReturnBlock.Clear();
    caller.m_ReturnBlock.m_nReferenceNumber = 777;
    talvex::ResetEvent(caller.m_hReturnEvent);
    std::int32_t record[kPacketRecordWords];
    for (const std::int16_t start : {0, 350, 700}) {
        reply.GetPacketAt(start, record, true);
        Feed(std::vector<std::int32_t>(record + 1, record + 1 + record[0] / 4));
        if (start < 700) {
            ASSERT_EQ(1u, sink.sent.size());
            EXPECT_EQ((std::vector<std::int32_t>{RP_NEXT_PACKET, 9, 777, start + 350}), sink.sent[0].words);
            EXPECT_FALSE(talvex::IsEventSet(caller.m_hReturnEvent));
            sink.sent.clear();
        }
    }
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_TRUE(talvex::IsEventSet(caller.m_hReturnEvent));
    EXPECT_EQ(0, caller.m_ReturnBlock.m_nReferenceNumber);
    EXPECT_TRUE(HoldsPattern(caller.m_ReturnBlock, 1000, 3));
    // A late copy of the last packet is dropped: nothing is sent or changed.
    Feed(std::vector<std::int32_t>(record + 1, record + 1 + record[0] / 4));
    EXPECT_TRUE(sink.sent.empty());
    EXPECT_EQ(1000, caller.m_ReturnBlock.m_nLength);
}

TEST_F(SeamTest, NextPacketServesCallBlockThenReplyBlockAndZeroBytesBelowTheCursor) {
    for (CUdpDataBlockEx* block : {&caller.m_CallBlock, &caller.m_ReplyBlock}) {
        block->Clear();
        block->m_nType = block == &caller.m_CallBlock ? RP_CALL : RP_RETURN;
        block->m_nProcedure = 4;
        block->m_nReferenceNumber = 55;
        callertest::AppendPattern(block, 400, 1);
    }
    Feed({RP_NEXT_PACKET, 4, 55, 350});
    ASSERT_EQ(2u, sink.sent.size());
    EXPECT_EQ(RP_CALL, sink.sent[0].words[0]);
    EXPECT_EQ(RP_RETURN, sink.sent[1].words[0]);
    EXPECT_EQ(16 + 4 * 50, sink.sent[1].bytes);
    sink.sent.clear();
    Feed({RP_NEXT_PACKET, 4, 55, 0});   // below the cursor: zero-byte answers
    ASSERT_EQ(2u, sink.sent.size());
    EXPECT_EQ(0, sink.sent[0].bytes);
    EXPECT_EQ(0, sink.sent[1].bytes);
    sink.sent.clear();
    Feed({RP_NEXT_PACKET, 4, 56, 0});   // foreign reference: nothing
    Feed({RP_NEXT_PACKET}, 8);           // short header reads as reference 0, position 0
    EXPECT_TRUE(sink.sent.empty());
}

TEST_F(SeamTest, BroadcastAnswerIsTypeEightOnceThenTypeTwo) {
    Feed({RP_BROADCAST, 6, 900, 0});
    ASSERT_EQ(1u, sink.sent.size());
    EXPECT_EQ(RP_BROADCAST_RETURN, sink.sent[0].words[0]);
    EXPECT_EQ(900, sink.sent[0].words[2]);
    CUdpDataBlockEx again(6);
    caller.SendReturn(&again);
    EXPECT_EQ(RP_RETURN, sink.sent[1].words[0]);
    EXPECT_EQ(RP_RETURN, again.m_nType);
}

TEST_F(SeamTest, RefusedCallPacketStillReachesTheHook) {
    // 16 bytes whose end position is not 0: AddRawData refuses it, the hook still runs.
    Feed({RP_CALL, callertest::kProcEvent, 1, 5 | (5 << 16)});
    EXPECT_EQ(1, caller.eventsSeen.load());
}

TEST_F(SeamTest, RandomDatagramsNeitherCrashNorOverrun) {
    std::mt19937 random(12345);
    std::vector<std::int32_t> words(512);
    caller.m_BCastReturn.m_nReferenceNumber = 3;
    for (int i = 0; i < 20000; ++i) {
        for (auto& word : words) word = static_cast<std::int32_t>(random());
        // Keep the type mostly among the real ones, with plausible references.
        if (i % 2 == 0) words[0] = static_cast<std::int32_t>(random() % 14);
        if (i % 3 == 0) words[2] = static_cast<std::int32_t>(random() % 4);
        const int bytes = static_cast<int>(random() % 2100);
        talvex::DatagramSeam::Handle(caller, words.data(), bytes, peer);
        if (caller.m_BCastReturn.GetSize() > 1000) caller.m_BCastReturn.Clear();
    }
    SUCCEED();
}

// ---- a live caller under fire ----------------------------------------------

class RawSocket {
public:
    RawSocket() : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~RawSocket() { ::close(fd_); }
    void SendTo(const void* bytes, std::size_t size, unsigned short port) const {
        const CSockAddr to(0x7F000001u, port);
        ::sendto(fd_, bytes, size, 0, static_cast<const sockaddr*>(to), sizeof(sockaddr_in));
    }

private:
    int fd_;
};

std::vector<std::vector<char>> MalformedDatagrams(std::mt19937& random) {
    std::vector<std::vector<char>> all;
    auto words = [](std::initializer_list<std::int32_t> list, int bytes) {
        std::vector<char> out(list.size() * 4);
        std::memcpy(out.data(), std::data(list), out.size());
        out.resize(static_cast<std::size_t>(bytes));
        return out;
    };
    for (std::int32_t type = -1; type <= 13; ++type) {
        if (type == RP_CALL || type == RP_BROADCAST || type == RP_MULTI_CALL) continue;   // would be served
        for (int bytes : {1, 2, 3, 4, 8, 12, 15, 16, 17})
            all.push_back(words({type, 1, 0x7FFF0000 + type, 350 | (700 << 16), 1, 2, 3}, bytes));
        all.push_back(words({type, 1, 0x7FFF1000, 10 | (1 << 16), 42}, 20));   // foreign reference, bad position
    }
    for (int i = 0; i < 40; ++i) {
        std::vector<char> bytes(4 + random() % 1500);
        for (auto& byte : bytes) byte = static_cast<char>(random());
        std::int32_t type = 20 + static_cast<std::int32_t>(random() % 1000);
        std::memcpy(bytes.data(), &type, 4);
        all.push_back(bytes);
    }
    return all;
}

TEST(CallerUnderFire, MalformedDatagramsDoNotDisturbRealCalls) {
    TestCaller server;
    TestCaller client;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "", 0));
    ASSERT_TRUE(client.StartDispatchThread(server.GetMyUDPPort(), L"127.0.0.1", "", 0));
    const unsigned short serverPort = server.GetMyUDPPort();
    const unsigned short clientPort = client.GetMyUDPPort();
    std::atomic<bool> done{false};
    auto attacker = std::async(std::launch::async, [&] {
        std::mt19937 random(7);
        const auto datagrams = MalformedDatagrams(random);
        RawSocket raw;
        int rounds = 0;
        while (!done && rounds < 200) {
            for (const auto& datagram : datagrams) {
                raw.SendTo(datagram.data(), datagram.size(), serverPort);
                raw.SendTo(datagram.data(), datagram.size(), clientPort);
            }
            ++rounds;
            std::this_thread::sleep_for(2ms);
        }
        return rounds;
    });
    int ok = 0;
    constexpr int kCalls = 150;
    for (int i = 0; i < kCalls; ++i) {
        CUdpDataBlockEx call = EchoCall(1 + (i * 37) % 1200, i);
        if (client.CallProcedure(&call, 3000) && HoldsPattern(call, 1 + (i * 37) % 1200, i)) ++ok;
    }
    done = true;
    EXPECT_GT(attacker.get(), 0);
    EXPECT_EQ(kCalls, ok);
    EXPECT_TRUE(client.IsActive());
}

TEST(CallerUnderFire, ZeroByteDatagramsRecoverTheSocketOnItsPort) {
    TestCaller server;
    TestCaller client;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, L"127.0.0.1", "", 0));
    const unsigned short serverPort = server.GetMyUDPPort();
    RawSocket raw;
    for (int i = 0; i < 5; ++i) {
        raw.SendTo("", 0, serverPort);
        std::this_thread::sleep_for(20ms);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(serverPort, server.GetMyUDPPort());
    CSockAddr to(0x7F000001u, serverPort);
    CUdpDataBlockEx call = EchoCall(500, 2);
    ASSERT_TRUE(client.CallProcedure(&to, &call, 3000));
    EXPECT_TRUE(HoldsPattern(call, 500, 2));
}

TEST(CallerUnderFire, OversizedDatagramEndsTheDispatcher) {
    TestCaller server;
    TestCaller client;
    ASSERT_TRUE(server.StartDispatchThread(0, L"127.0.0.1", "", 0));
    ASSERT_TRUE(client.StartDispatchThread(0, L"127.0.0.1", "", 0));
    CSockAddr to(0x7F000001u, server.GetMyUDPPort());
    CUdpDataBlockEx call = EchoCall(3, 1);
    ASSERT_TRUE(client.CallProcedure(&to, &call, 3000));
    const std::vector<char> big(2049, 'x');
    RawSocket raw;
    raw.SendTo(big.data(), big.size(), server.GetMyUDPPort());
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(server.m_pDispatchThread != nullptr);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return server.m_pDispatchThread->HasEnded(); }, 2000ms));
    CUdpDataBlockEx after = EchoCall(3, 1);
    EXPECT_FALSE(client.CallProcedure(&to, &after, 300));
    server.StopDispatchThread();   // still stops cleanly
}

}  // namespace
