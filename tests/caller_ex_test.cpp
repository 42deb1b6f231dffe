// CRP_CallerEx: the object, chunks fed straight to the dispatcher's per-datagram
// logic, and chunked calls and returns between two callers on loopback through a
// relay that loses and repeats chosen datagrams, with the chunk counters.
#include "caller/DatagramSeam.h"
#include "caller_test_util.h"
#include "support/test_support.h"
#include "talvex05u/platform/Event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <future>
#include <tuple>

using namespace callertest;
using namespace std::chrono_literals;
using Way = UdpRelay::Way;
using Verdict = UdpRelay::Verdict;

namespace {

// A chunk datagram: `present` bytes of chunk data (default all), words from the pattern.
std::vector<std::int32_t> Chunk(std::int32_t type, std::int32_t reference, std::int32_t count, std::int32_t index,
                                std::int32_t byteCount, std::int32_t present = -1) {
    if (present < 0) present = byteCount;
    const std::int32_t dataWords = 4 + present / 4;
    std::vector<std::int32_t> packet{type, kProcRecord, 5000 + index, dataWords | (dataWords << 16), reference, count, index, byteCount};
    for (std::int32_t w = 0; w < present / 4; ++w) packet.push_back(Pattern(std::int64_t{index} * talvex::kChunkWords + w, reference));
    return packet;
}
std::vector<std::vector<std::int32_t>> Transfer(std::int32_t type, std::int32_t reference, std::int32_t words) {
    const std::int32_t count = (words + talvex::kChunkWords - 1) / talvex::kChunkWords;
    std::vector<std::vector<std::int32_t>> datagrams;
    for (std::int32_t i = 0; i < count; ++i)
        datagrams.push_back(Chunk(type, reference, count, i, std::min(talvex::kChunkBytes, words * 4 - i * talvex::kChunkBytes)));
    return datagrams;
}
// Whether a datagram going `way` is chunk 1 of a transfer of `type`.
bool IsChunk1(Way way, const std::int32_t* words, int bytes, Way want, std::int32_t type) {
    return way == want && bytes >= 32 && words[0] == type && words[6] == 1;
}
// Drops every chunk 1 of `type` going `want`.
UdpRelay::Filter DropChunk1(Way want, std::int32_t type) {
    return [=](Way way, const std::int32_t* words, int bytes) { return IsChunk1(way, words, bytes, want, type) ? Verdict::Drop : Verdict::Pass; };
}
// Drops the n-th one-packet answer to the client.
UdpRelay::Filter DropAnswer(int n) {
    auto answers = std::make_shared<std::atomic<int>>(0);
    return [=](Way way, const std::int32_t* words, int bytes) {
        return way == Way::ToClient && bytes >= 4 && words[0] == RP_RETURN && ++*answers == n ? Verdict::Drop : Verdict::Pass;
    };
}

class DrivenChunks : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(*caller, &sink); }
    void Feed(const std::vector<std::int32_t>& d, CRP_CallerEx* to = nullptr) { callertest::Feed(to ? *to : *caller, d); }
    std::unique_ptr<TestCallerEx> caller = std::make_unique<TestCallerEx>();
    SentPackets sink;
};

// The words the hook gets are LoopbackPair's to check; here: the exact empty answers.
TEST_F(DrivenChunks, CallChunksGetEmptyAnswersAndTheCompletingOneReachesTheHook) {
    for (const auto& d : Transfer(RP_MULTI_CALL, 77, 700)) Feed(d);
    EXPECT_EQ(1, caller->callsServed.load());
    ASSERT_EQ(3u, sink.sent.size());   // two empty returns, then the hook's answer
    for (int i = 0; i < 2; ++i) EXPECT_EQ((std::vector<std::int32_t>{RP_RETURN, kProcRecord, 5000 + i, 0}), sink.sent[i].words);
}

TEST_F(DrivenChunks, ReturnChunksCompleteExactlyOnce) {
    const auto datagrams = Transfer(RP_MULTI_RETURN, 79, 1000);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        Feed(datagrams[i]);
        EXPECT_EQ(i + 1 == datagrams.size(), talvex::IsEventSet(caller->m_hMultiDoneEvent)) << i;
    }
    talvex::ResetEvent(caller->m_hMultiDoneEvent);
    Feed(datagrams.back());   // a late repeat of the completing chunk: neither stored nor answered
    EXPECT_FALSE(talvex::IsEventSet(caller->m_hMultiDoneEvent));
    EXPECT_EQ(datagrams.size(), sink.sent.size()) << "every chunk answered once";
    const CUdpDataBlockEx& result = caller->m_MultiReturnBlock;
    EXPECT_EQ(std::make_tuple(RP_RETURN, 5002), std::make_tuple(result.m_nType, result.m_nReferenceNumber));
    EXPECT_TRUE(HoldsPattern(result, 1000, 79));
}

// Which chunks are refused is chunk_reassembly_test's; here: the dispatcher answers none.
TEST_F(DrivenChunks, MalformedChunksAreNeitherAnsweredNorServed) {
    for (const std::int32_t type : {RP_MULTI_CALL, RP_MULTI_RETURN}) {
        Feed(Chunk(type, 80, 3, 2, 400, 40));            // more bytes announced than came
        Feed(Chunk(type, 80, 20000, 0, talvex::kChunkBytes));   // more chunks than slots
        Feed({type, 42, 1, 2 | (2 << 16), 80, 3});       // half a chunk header
    }
    EXPECT_TRUE(sink.sent.empty()) << "a refused chunk is not acknowledged: its sender's tries end in false";
    EXPECT_EQ(0, caller->callsServed.load());
}

// A transfer whose chunk 0 lost its slot to 10000 later chunks (of 2-chunk transfers
// of another sender) is forgotten: its later chunks do not complete it, and its last
// chunk is not answered with an empty return, which its sender would take for the answer.
TEST_F(DrivenChunks, LastChunkOfATransferWhoseFirstChunkWasOverwrittenGetsNoEmptyAnswer) {
    const auto transfer = Transfer(RP_MULTI_CALL, 90, 700);   // chunk i comes in call 5000 + i
    Feed(transfer[0]);
    for (std::int32_t i = 0; i < talvex::kChunkSlots; ++i) callertest::Feed(*caller, Chunk(RP_MULTI_CALL, 1000 + i, 2, 0, talvex::kChunkBytes), -1, 5000);
    sink.sent.clear();
    Feed(transfer[1]);
    Feed(transfer[2]);
    EXPECT_EQ(0, caller->callsServed.load()) << "put together from overwritten bytes";
    for (const auto& sent : sink.sent) EXPECT_NE((std::vector<std::int32_t>{RP_RETURN, kProcRecord, 5002, 0}), sent.words);
    EXPECT_LE(caller->m_mapChunks.size(), static_cast<std::size_t>(talvex::kChunkSlots));
}

TEST_F(DrivenChunks, AssignmentCopiesTheIndexIntoTheTargetsOwnStores) {
    const auto calls = Transfer(RP_MULTI_CALL, 83, 700), returns = Transfer(RP_MULTI_RETURN, 84, 1000);
    Feed(calls[0]);
    Feed(calls[1]);
    Feed(returns[0]);
    auto target = std::make_unique<TestCallerEx>();
    static_cast<CRP_CallerEx&>(*target) = *caller;
    EXPECT_NE(target->m_hMultiDoneEvent, caller->m_hMultiDoneEvent);
    caller.reset();   // nothing of the copy may refer to the source any more (ASan sees a stray read)
    talvex::DatagramSeam::InstallSink(*target, &sink);
    Feed(calls[2], target.get());
    ASSERT_EQ(1, target->callsServed.load());
    EXPECT_EQ(-1, FirstPatternMismatch(target->LastCall().data.data(), 700, 83));
    for (std::size_t i = 1; i < returns.size(); ++i) Feed(returns[i], target.get());
    EXPECT_TRUE(HoldsPattern(target->m_MultiReturnBlock, 1000, 84));
}

class LoopbackPair : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Start(*server) && Start(*client)); }
    static bool Start(TestCallerEx& c) { return c.StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0) && c.GetMyUDPPort() != 0; }
    void Target(unsigned short port, TestCallerEx* from = nullptr) {
        (from ? from : client.get())->SetMultiTarget(port, kLoopback);
        (from ? from : client.get())->SetRemoteSocket(port, kLoopback);
    }
    void ThroughRelay(UdpRelay::Filter filter) {
        relay = std::make_unique<UdpRelay>(server->GetMyUDPPort(), testsupport::RelayFaults{}, std::move(filter));
        Target(relay->Port());
    }
    void TearDown() override { client->StopDispatchThread(); }
    std::unique_ptr<TestCallerEx> server = std::make_unique<TestCallerEx>(), client = std::make_unique<TestCallerEx>();
    std::unique_ptr<UdpRelay> relay;
};

// Both directions: the server sees each chunked call word for word and answers its
// length; an echo of the same size comes back as chunks and is handed over whole.
TEST_F(LoopbackPair, ChunkedCallsAndReturnsArriveWordForWord) {
    ThroughRelay(nullptr);
    for (std::int32_t words : {351, 692, 1000000}) {
        SCOPED_TRACE(words);
        auto call = PatternCall(kProcRecord, words, words);
        ASSERT_TRUE(client->CallProcedure(call.get(), 5000));
        EXPECT_EQ(std::make_tuple(RP_RETURN, 1, words), std::make_tuple(call->m_nType, call->m_nLength, call->GetLongData()))
            << "the last: the length the server saw";
        const auto seen = server->LastCall();
        EXPECT_EQ(RP_MULTI_CALL, seen.type);
        ASSERT_EQ(words, seen.length);
        EXPECT_EQ(-1, FirstPatternMismatch(seen.data.data(), words, words));
        CUdpDataBlockEx echo = EchoCall(words, words + 1);
        ASSERT_TRUE(client->CallProcedure(&echo, 5000));
        EXPECT_EQ(std::make_tuple(RP_RETURN, kProcEcho, 0), std::make_tuple(echo.m_nType, echo.m_nProcedure, echo.m_nReadPos));
        EXPECT_TRUE(HoldsPattern(echo, words, words + 1)) << echo.m_nLength << " " << FirstPatternMismatch(echo.m_pData, echo.m_nLength, words + 1);
        EXPECT_EQ(0, client->m_MultiReturnBlock.m_nLength) << "handed over and emptied";
    }
    EXPECT_EQ(6, server->callsServed.load());
    // On the wire: 351 words as 1384 + 20 bytes, 692 words as exactly two full chunks.
    for (const std::int32_t type : {RP_MULTI_CALL, RP_MULTI_RETURN}) {
        const auto chunks = relay->Log(type);
        ASSERT_GE(chunks.size(), 5u);
        EXPECT_EQ(std::vector<int>({1384, 1416, 20, 1384, 1384, 0}), std::vector<int>({chunks[0].byteCount, chunks[0].bytes,
                  chunks[1].byteCount, chunks[2].byteCount, chunks[3].byteCount, chunks[4].chunkIndex})) << "last: no third chunk for 692 words";
    }
}

// One chunk in flight: every chunk goes out only after the answer to the one before,
// and a chunk whose answer was lost is sent again and stored once.
TEST_F(LoopbackPair, OneChunkInFlightWaitsForEachAnswerAndALostAnswerIsRecoveredOnce) {
    client->SetChunksInFlight(1);
    ThroughRelay(DropAnswer(2));   // the answer to chunk 1 is lost once
    auto call = PatternCall(kProcRecord, 700, 7);
    ASSERT_TRUE(client->CallProcedure(call.get(), 300));
    EXPECT_EQ(700, call->GetLongData());
    const auto chunks = relay->Log(RP_MULTI_CALL);
    ASSERT_EQ(4u, chunks.size()) << "chunk 1 went twice";
    EXPECT_EQ(std::make_tuple(1, 1), std::make_tuple(chunks[1].chunkIndex, chunks[2].chunkIndex));
    EXPECT_EQ(1, server->callsServed.load());
    EXPECT_EQ(-1, FirstPatternMismatch(server->LastCall().data.data(), 700, 7));
    const auto wire = relay->Log();
    ASSERT_EQ(8u, wire.size());
    for (std::size_t i = 0; i < wire.size(); ++i) EXPECT_EQ(i % 2 == 0 ? RP_MULTI_CALL : RP_RETURN, wire[i].type) << i;
}

TEST_F(LoopbackPair, BreakDuringAChunkedCallEndsOnlyTheTryInProgress) {
    std::atomic<bool> dropped{false};
    ThroughRelay([&](Way way, const std::int32_t* words, int bytes) {   // chunk 1 is lost once
        return IsChunk1(way, words, bytes, Way::ToServer, RP_MULTI_CALL) && !dropped.exchange(true) ? Verdict::Drop : Verdict::Pass;
    });
    auto call = PatternCall(kProcRecord, 700, 8);
    auto waiting = std::async(std::launch::async, [&] { return client->CallProcedure(call.get(), 0); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return dropped.load(); }, 5s));
    client->BreakActiveCall();   // without a time-out only the break ends the lost try
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(5)));
    EXPECT_TRUE(waiting.get()) << "the chunk went again and the call completed";
    EXPECT_EQ(700, call->GetLongData());
    EXPECT_EQ(4u, relay->Log(RP_MULTI_CALL).size()) << "chunk 1 twice";
}

TEST_F(LoopbackPair, ThreeLostTriesFailTheCallAndLeaveTheBlock) {
    for (const std::int32_t inFlight : {1, 4}) {
        SCOPED_TRACE(inFlight);
        client->SetChunksInFlight(inFlight);
        ThroughRelay(DropChunk1(Way::ToServer, RP_MULTI_CALL));
        auto call = PatternCall(kProcRecord, 1000, 11);
        EXPECT_FALSE(client->CallProcedure(call.get(), 150));
        EXPECT_EQ(std::make_tuple(RP_CALL, kProcRecord), std::make_tuple(call->m_nType, call->m_nProcedure));
        EXPECT_TRUE(HoldsPattern(*call, 1000, 11));
        const auto chunks = relay->Log(RP_MULTI_CALL);
        // One at a time: chunk 0 once, chunk 1 three times, nothing after. In flight:
        // chunks 0 to 2 at once, then chunk 1 twice more.
        EXPECT_EQ(inFlight == 1 ? 4u : 5u, chunks.size());
        EXPECT_EQ(3, std::count_if(chunks.begin(), chunks.end(), [](const auto& c) { return c.chunkIndex == 1; }));
        EXPECT_EQ(0, server->callsServed.load());
    }
}

// With chunks in flight the chunk that completes the transfer need not be the last one
// sent: here the answer to chunk 0 is lost, chunk 2 completes the transfer, and the
// repeat of chunk 0 goes out after it and gets an empty answer. The call's answer is
// the completing chunk's, whether it came in one packet or as return chunks.
TEST_F(LoopbackPair, CompletingChunkSentBeforeTheLastGivesTheAnswer) {
    client->SetChunksInFlight(2);
    for (const std::int32_t procedure : {kProcRecord, kProcEcho}) {
        SCOPED_TRACE(procedure);
        ThroughRelay(DropAnswer(1));
        auto call = PatternCall(procedure, 1000, 21);
        call->m_pData[0] = 1000;   // for the echo: 1000 pattern words of seed 21 come back
        call->m_pData[1] = 21;
        ASSERT_TRUE(client->CallProcedure(call.get(), 200));
        EXPECT_EQ(RP_RETURN, call->m_nType);
        if (procedure == kProcEcho) EXPECT_TRUE(HoldsPattern(*call, 1000, 21));
        else EXPECT_EQ(1000, call->GetLongData());
        const auto chunks = relay->Log(RP_MULTI_CALL);
        ASSERT_EQ(4u, chunks.size());
        EXPECT_EQ(std::make_tuple(2, 0), std::make_tuple(chunks[2].chunkIndex, chunks[3].chunkIndex)) << "the repeat of chunk 0 went out last";
    }
    EXPECT_EQ(2, server->callsServed.load());
}

// The counters of a chunked call whose first copy of chunk 1 is lost and whose last
// chunk arrives twice: one repeated try, and the late copy refused.
TEST_F(LoopbackPair, ChunkCountersCountTheRepeatedTryAndTheRefusedLateCopy) {
    auto chunkOnes = std::make_shared<std::atomic<int>>(0);
    ThroughRelay([=](Way way, const std::int32_t* words, int bytes) {
        if (way != Way::ToServer || bytes < 32 || words[0] != RP_MULTI_CALL) return Verdict::Pass;
        if (words[6] == 1 && (*chunkOnes)++ == 0) return Verdict::Drop;
        return words[6] == 2 ? Verdict::Duplicate : Verdict::Pass;
    });
    auto call = PatternCall(kProcRecord, 1000, 3);   // 3 chunks
    ASSERT_TRUE(client->CallProcedure(call.get(), 200));
    // A chunk is counted in as it is taken, and refused once it has been looked at.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            const talvex::CallerCounters in = server->GetCounters();
            return in.chunks_received == 4 && in.chunks_refused == 1;
        },
        3s));
    const talvex::CallerCounters sent = client->GetCounters(), got = server->GetCounters();
    EXPECT_EQ((std::array<std::uint64_t, 5>{1, 1, 4, 1, 0}),
              (std::array{sent.calls, sent.answered, sent.chunks_sent, sent.chunk_tries_repeated, sent.timed_out}));
    EXPECT_EQ((std::array<std::uint64_t, 4>{4, 1, 1, 1}),
              (std::array{got.chunks_received, got.chunks_refused, got.served, got.returns_sent}));
}

TEST_F(LoopbackPair, LostReturnChunkEndsTheCallEmptyOrOnRequestWithFalse) {
    ThroughRelay(DropChunk1(Way::ToClient, RP_MULTI_RETURN));
    CUdpDataBlockEx call = EchoCall(1000, 3);
    ASSERT_TRUE(client->CallProcedure(&call, 5000));
    EXPECT_EQ(std::make_tuple(RP_RETURN, 0), std::make_tuple(call.m_nType, call.m_nLength));

    client->m_bFailOnLostReturnChunks = true;   // every chunk 1 is lost
    CUdpDataBlockEx lost = EchoCall(1000, 4);
    EXPECT_FALSE(client->CallProcedure(&lost, 5000));
    EXPECT_EQ(std::make_tuple(RP_CALL, 2, 1000), std::make_tuple(lost.m_nType, lost.m_nLength, lost.GetLongData()))
        << "a failed call leaves the block as it was";
    CUdpDataBlockEx onePacket = EchoCall(300, 4);   // a one-packet answer has no chunk to lose
    EXPECT_TRUE(client->CallProcedure(&onePacket, 5000));
    EXPECT_TRUE(HoldsPattern(onePacket, 300, 4));
}

// A call of one word more than 10000 chunks hold, and any chunked call once multi
// is disabled, fails without a datagram sent and leaves the block.
TEST_F(LoopbackPair, UnsendableChunkedCallsSendNothingAndDisabledMultiStillReassembles) {
    ThroughRelay(nullptr);
    constexpr std::int32_t kOverTheSlots = talvex::kChunkSlots * talvex::kChunkWords + 1;
    auto overTheSlots = PatternCall(kProcRecord, kOverTheSlots, 2);
    EXPECT_FALSE(client->CallProcedure(overTheSlots.get(), 200));
    EXPECT_EQ(kOverTheSlots, overTheSlots->m_nLength);
    client->DisableMulti();
    auto tooLong = PatternCall(kProcRecord, 351, 1);
    EXPECT_FALSE(client->CallProcedure(tooLong.get(), 200));
    EXPECT_EQ(351, tooLong->m_nLength);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(relay->Log().empty()) << "no datagram left the client";
    // The server's own long answer is not sent, so that call ends by its time-out...
    Target(client->GetMyUDPPort(), server.get());
    CUdpDataBlockEx longAnswer = EchoCall(351, 0);
    EXPECT_FALSE(server->CallProcedure(&longAnswer, 200));
    // ...but chunks arriving at it are put together.
    auto call = PatternCall(kProcRecord, 1000, 12);
    ASSERT_TRUE(server->CallProcedure(call.get(), 5000));
    EXPECT_EQ(1000, call->GetLongData());
    EXPECT_EQ(-1, FirstPatternMismatch(client->LastCall().data.data(), 1000, 12));
}

}  // namespace
