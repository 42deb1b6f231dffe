// CRP_CallerEx: the object itself, chunks driven directly through the dispatcher's
// per-datagram logic, and chunked calls and returns between two real callers on
// loopback, with a relay that loses and repeats chosen datagrams.
#include "caller_ex_test_util.h"

#include "caller/DatagramSeam.h"
#include "talvex05u/platform/Event.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

namespace {

using cextest::FirstPatternMismatch;
using cextest::kProcAnswer;
using cextest::kProcRecord;
using cextest::PatternCall;
using cextest::ServingCallerEx;
using cextest::StartOnLoopback;
using cextest::Target;
using cextest::UdpRelay;
using Way = UdpRelay::Way;
using Verdict = UdpRelay::Verdict;

constexpr std::int32_t kTimeout = 5000;

// ---- the object ---------------------------------------------------------------

TEST(CallerExObject, NewObjectIsReadyForChunks) {
    for (int constructor = 0; constructor < 2; ++constructor) {
        SCOPED_TRACE(constructor);
        auto caller = constructor == 0 ? std::make_unique<CRP_CallerEx>() : std::make_unique<CRP_CallerEx>(4321);
        EXPECT_TRUE(caller->m_bMultiEnabled);
        EXPECT_EQ(caller->m_nLastCallSlot, -1);
        EXPECT_EQ(caller->m_nLastReturnSlot, -1);
        EXPECT_TRUE(caller->m_mapChunks.empty());
        ASSERT_NE(caller->m_hMultiDoneEvent, nullptr);
        ASSERT_NE(caller->m_hMultiBreakEvent, nullptr);
        EXPECT_FALSE(talvex::IsEventSet(caller->m_hMultiDoneEvent));
        EXPECT_FALSE(talvex::IsEventSet(caller->m_hMultiBreakEvent));
        EXPECT_FALSE(caller->m_bSharedMemory);
        EXPECT_EQ(caller->m_pTelegramThread, nullptr);
        EXPECT_EQ(caller->m_MultiCallBlock.m_nLength, 0);
        EXPECT_EQ(caller->m_MultiReturnBlock.m_nLength, 0);
        EXPECT_EQ(caller->m_nMyPort, constructor == 0 ? 0 : 4321);
    }
}

TEST(CallerExObject, EnableAndDisableChangeOnlyTheFlag) {
    auto caller = std::make_unique<CRP_CallerEx>();
    caller->DisableMulti();
    EXPECT_FALSE(caller->m_bMultiEnabled);
    caller->EnableMulti();
    EXPECT_TRUE(caller->m_bMultiEnabled);
    caller->SetMultiTarget(777, cextest::kLoopback);
    EXPECT_EQ(caller->m_nMultiPort, 777);
    EXPECT_EQ(caller->m_nMultiAddress, cextest::kLoopback);
}

// ---- chunks fed straight into the dispatcher's per-datagram logic ----------------

// Captures what a caller would send instead of sending it.
class CapturingSink : public talvex::DatagramSink {
public:
    void OnSend(const std::int32_t* packet, int bytes, const CSockAddr& /*destination*/) override {
        sent.emplace_back(packet, packet + bytes / 4);
    }
    std::vector<std::vector<std::int32_t>> sent;
};

// A chunk datagram: `present` bytes of chunk data (default all), words from the pattern.
std::vector<std::int32_t> ChunkDatagram(std::int32_t type, std::int32_t reference, std::int32_t count,
                                        std::int32_t index, std::int32_t byteCount, std::int32_t present = -1) {
    if (present < 0) present = byteCount;
    const std::int32_t dataWords = 4 + present / 4;
    std::vector<std::int32_t> packet{type, 42, 5000 + index, dataWords | (dataWords << 16), reference, count, index,
                                     byteCount};
    for (std::int32_t w = 0; w < present / 4; ++w) {
        packet.push_back(cextest::Pattern(static_cast<std::int64_t>(index) * kChunkWords + w, reference));
    }
    return packet;
}

// The datagrams of a whole transfer of `words` words.
std::vector<std::vector<std::int32_t>> TransferDatagrams(std::int32_t type, std::int32_t reference, std::int32_t words) {
    const std::int32_t count = (words + kChunkWords - 1) / kChunkWords;
    std::vector<std::vector<std::int32_t>> datagrams;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t bytes = std::min(kChunkBytes, words * 4 - i * kChunkBytes);
        datagrams.push_back(ChunkDatagram(type, reference, count, i, bytes));
    }
    return datagrams;
}

class DrivenCallerEx : public CRP_CallerEx {
public:
    int calls = 0;
    std::int32_t lastType = 0, lastProcedure = 0, lastReference = 0;
    std::vector<std::int32_t> lastData;
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        ++calls;
        lastType = block->m_nType;
        lastProcedure = block->m_nProcedure;
        lastReference = block->m_nReferenceNumber;
        lastData.assign(block->m_pData, block->m_pData + block->m_nLength);
    }
};

class DrivenChunks : public ::testing::Test {
protected:
    void SetUp() override { talvex::DatagramSeam::InstallSink(*caller, &sink); }
    void Feed(const std::vector<std::int32_t>& datagram) {
        talvex::DatagramSeam::Handle(*caller, datagram.data(), static_cast<int>(datagram.size() * 4), sender);
    }
    bool MultiDoneSet() { return talvex::IsEventSet(caller->m_hMultiDoneEvent); }
    std::unique_ptr<DrivenCallerEx> caller = std::make_unique<DrivenCallerEx>();
    CapturingSink sink;
    CSockAddr sender{cextest::kLoopback, 40000};
};

TEST_F(DrivenChunks, CallChunksAreAnsweredButTheCompletingOneIsLeftToTheApplication) {
    const auto datagrams = TransferDatagrams(RP_MULTI_CALL, 77, 700);
    ASSERT_EQ(datagrams.size(), 3u);
    for (const auto& d : datagrams) Feed(d);
    ASSERT_EQ(caller->calls, 1);
    EXPECT_EQ(caller->lastType, RP_MULTI_CALL);
    EXPECT_EQ(caller->lastProcedure, 42);
    EXPECT_EQ(caller->lastReference, 5002) << "the completing chunk's call";
    ASSERT_EQ(caller->lastData.size(), 700u);
    EXPECT_EQ(FirstPatternMismatch(caller->lastData.data(), 700, 77), -1);
    ASSERT_EQ(sink.sent.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(sink.sent[i].size(), 4u) << "an empty return";
        EXPECT_EQ(sink.sent[i][0], RP_RETURN);
        EXPECT_EQ(sink.sent[i][2], 5000 + static_cast<std::int32_t>(i));
    }
    EXPECT_TRUE(caller->m_mapChunks.empty());
}

TEST_F(DrivenChunks, RepeatedCallChunkIsAnsweredButCountedOnce) {
    const auto datagrams = TransferDatagrams(RP_MULTI_CALL, 78, 700);
    Feed(datagrams[0]);
    Feed(datagrams[1]);
    Feed(datagrams[1]);
    Feed(datagrams[0]);
    EXPECT_EQ(caller->calls, 0);
    EXPECT_EQ(caller->m_nLastCallSlot, 1);
    EXPECT_EQ(sink.sent.size(), 4u);
    Feed(datagrams[2]);
    ASSERT_EQ(caller->calls, 1);
    EXPECT_EQ(FirstPatternMismatch(caller->lastData.data(), 700, 78), -1);
}

TEST_F(DrivenChunks, ReturnChunksAreAllAnsweredAndCompleteExactlyOnce) {
    const auto datagrams = TransferDatagrams(RP_MULTI_RETURN, 79, 1000);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        Feed(datagrams[i]);
        const bool last = i + 1 == datagrams.size();
        EXPECT_EQ(MultiDoneSet(), last) << "chunk " << i;
    }
    talvex::ResetEvent(caller->m_hMultiDoneEvent);
    Feed(datagrams.back());   // a late repeat of the completing chunk
    EXPECT_FALSE(MultiDoneSet());
    EXPECT_EQ(sink.sent.size(), datagrams.size() + 1);
    const CUdpDataBlockEx& result = caller->m_MultiReturnBlock;
    EXPECT_EQ(result.m_nType, RP_RETURN);
    EXPECT_EQ(result.m_nProcedure, 42);
    EXPECT_EQ(result.m_nReferenceNumber, 5002);
    ASSERT_EQ(result.m_nLength, 1000);
    EXPECT_EQ(FirstPatternMismatch(result.m_pData, 1000, 79), -1);
}

TEST_F(DrivenChunks, MalformedChunksAreAnsweredAndNeverStored) {
    const std::vector<std::vector<std::int32_t>> malformed = {
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 2, 1388, kChunkBytes),  // byte count above 1384
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 2, -8, 0),              // negative
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 2, 400, 40),            // more than came along
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 2, 10, 12),             // not whole words
        ChunkDatagram(RP_MULTI_CALL, 80, 0, 0, 4),                  // no chunks
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 7, 4),                  // index beyond count
        ChunkDatagram(RP_MULTI_CALL, 80, 20000, 0, kChunkBytes),    // more chunks than slots
        ChunkDatagram(RP_MULTI_CALL, 80, 3, 0, 100),                // short chunk that is not the last
        {RP_MULTI_CALL, 42, 1, 0},                                  // header only
        {RP_MULTI_CALL, 42, 1, 2 | (2 << 16), 80, 3},               // half a chunk header
    };
    for (const auto& d : malformed) Feed(d);
    EXPECT_EQ(sink.sent.size(), malformed.size()) << "every chunk is answered";
    EXPECT_TRUE(caller->m_mapChunks.empty());
    EXPECT_EQ(caller->m_nLastCallSlot, -1);
    EXPECT_EQ(caller->calls, 0);
}

TEST_F(DrivenChunks, SlotCounterWrapsAfter9999) {
    caller->m_nLastCallSlot = kChunkSlots - 1;
    for (const auto& d : TransferDatagrams(RP_MULTI_CALL, 81, 351)) Feed(d);
    EXPECT_EQ(caller->m_nLastCallSlot, 1);
    ASSERT_EQ(caller->calls, 1);
    EXPECT_EQ(FirstPatternMismatch(caller->lastData.data(), 351, 81), -1);
}

TEST_F(DrivenChunks, ReusedTransferReferenceStartsClean) {
    for (const auto& d : TransferDatagrams(RP_MULTI_CALL, 82, 700)) Feed(d);
    for (const auto& d : TransferDatagrams(RP_MULTI_CALL, 82, 351)) Feed(d);
    ASSERT_EQ(caller->calls, 2);
    ASSERT_EQ(caller->lastData.size(), 351u);
    EXPECT_EQ(FirstPatternMismatch(caller->lastData.data(), 351, 82), -1);
}

TEST_F(DrivenChunks, AssignmentCopiesTheIndexIntoTheTargetsOwnStores) {
    const auto calls = TransferDatagrams(RP_MULTI_CALL, 83, 700);
    const auto returns = TransferDatagrams(RP_MULTI_RETURN, 84, 1000);
    Feed(calls[0]);
    Feed(calls[1]);
    Feed(returns[0]);
    auto target = std::make_unique<DrivenCallerEx>();
    *target = *caller;
    EXPECT_EQ(target->m_mapChunks.size(), 3u);
    EXPECT_EQ(target->m_nLastCallSlot, caller->m_nLastCallSlot);
    EXPECT_EQ(target->m_nLastReturnSlot, caller->m_nLastReturnSlot);
    auto source = caller->m_mapChunks.begin();
    for (const auto& [key, entry] : target->m_mapChunks) {
        EXPECT_EQ(key, source->first);
        EXPECT_EQ(entry.m_nByteCount, source->second.m_nByteCount);
        const bool inCallStore = entry.m_pData >= target->m_abyCallChunkStore &&
                                 entry.m_pData < target->m_abyCallChunkStore + sizeof target->m_abyCallChunkStore;
        const bool inReturnStore = entry.m_pData >= target->m_abyReturnChunkStore &&
                                   entry.m_pData < target->m_abyReturnChunkStore + sizeof target->m_abyReturnChunkStore;
        EXPECT_TRUE(inCallStore || inReturnStore) << "points into the target, never the source";
        ++source;
    }
    EXPECT_NE(target->m_hMultiDoneEvent, caller->m_hMultiDoneEvent) << "each keeps its own events";
    caller.reset();   // nothing of the copy may refer to the source any more

    talvex::DatagramSeam::InstallSink(*target, &sink);
    talvex::DatagramSeam::Handle(*target, calls[2].data(), static_cast<int>(calls[2].size() * 4), sender);
    ASSERT_EQ(target->calls, 1);
    EXPECT_EQ(FirstPatternMismatch(target->lastData.data(), 700, 83), -1);
    for (std::size_t i = 1; i < returns.size(); ++i) {
        talvex::DatagramSeam::Handle(*target, returns[i].data(), static_cast<int>(returns[i].size() * 4), sender);
    }
    ASSERT_EQ(target->m_MultiReturnBlock.m_nLength, 1000);
    EXPECT_EQ(FirstPatternMismatch(target->m_MultiReturnBlock.m_pData, 1000, 84), -1);
}

// ---- two callers on loopback ----------------------------------------------------

class LoopbackPair : public ::testing::Test {
protected:
    void SetUp() override {
        server = StartOnLoopback<ServingCallerEx>();
        client = StartOnLoopback<ServingCallerEx>();
        ASSERT_TRUE(server && client);
        serverPort = server->GetMyUDPPort();
        ASSERT_NE(serverPort, 0);
        Target(*client, serverPort);
    }
    void ThroughRelay(UdpRelay::Filter filter) {
        relay = std::make_unique<UdpRelay>(serverPort, std::move(filter));
        Target(*client, relay->Port());
    }
    void TearDown() override {
        if (client) client->StopDispatchThread();
        relay.reset();
    }
    std::unique_ptr<ServingCallerEx> server, client;
    std::unique_ptr<UdpRelay> relay;
    unsigned short serverPort = 0;
};

TEST_F(LoopbackPair, ChunkedCallsArriveWordForWord) {
    ThroughRelay(nullptr);
    for (std::int32_t words : {351, 692, 700, 100000}) {
        SCOPED_TRACE(words);
        auto call = PatternCall(kProcRecord, words, words);
        ASSERT_TRUE(client->CallProcedure(call.get(), kTimeout));
        EXPECT_EQ(call->m_nType, RP_RETURN);
        EXPECT_EQ(call->m_nLength, 1);
        EXPECT_EQ(call->GetLongData(), words) << "the server's answer: the length it saw";
        const auto seen = server->LastCall();
        EXPECT_EQ(seen.type, RP_MULTI_CALL);
        EXPECT_EQ(seen.procedure, kProcRecord);
        ASSERT_EQ(seen.length, words);
        EXPECT_EQ(FirstPatternMismatch(seen.data.data(), words, words), -1);
    }
    EXPECT_EQ(server->callsServed, 4);
    // Byte counts on the wire: 351 words as 1384 + 20, 692 words as exactly two full chunks.
    const auto chunks = relay->Chunks(RP_MULTI_CALL);
    ASSERT_GE(chunks.size(), 5u);
    EXPECT_EQ(chunks[0].byteCount, 1384);
    EXPECT_EQ(chunks[0].bytes, 1416);
    EXPECT_EQ(chunks[1].byteCount, 20);
    EXPECT_EQ(chunks[2].byteCount, 1384);
    EXPECT_EQ(chunks[3].byteCount, 1384);
    EXPECT_EQ(chunks[4].chunkIndex, 0) << "no third chunk for 692 words";
}

TEST_F(LoopbackPair, ChunkedReturnsArriveWordForWord) {
    ThroughRelay(nullptr);
    for (std::int32_t words : {351, 1000, 100000}) {
        SCOPED_TRACE(words);
        CUdpDataBlockEx call(kProcAnswer);
        call.AppendLongData(words);
        call.AppendLongData(words + 1);
        ASSERT_TRUE(client->CallProcedure(&call, kTimeout));
        EXPECT_EQ(call.m_nType, RP_RETURN);
        EXPECT_EQ(call.m_nProcedure, kProcAnswer);
        ASSERT_EQ(call.m_nLength, words);
        EXPECT_EQ(call.m_nReadPos, 0);
        EXPECT_EQ(FirstPatternMismatch(call.m_pData, words, words + 1), -1);
        EXPECT_EQ(client->m_MultiReturnBlock.m_nLength, 0) << "handed over and emptied";
    }
    const auto chunks = relay->Chunks(RP_MULTI_RETURN);
    ASSERT_GE(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].byteCount, 1384);
    EXPECT_EQ(chunks[1].byteCount, 20);
}

TEST_F(LoopbackPair, ChunkedCallWithChunkedAnswer) {
    auto call = PatternCall(kProcAnswer, 700, 0);
    call->m_pData[0] = 1000;   // words asked for
    call->m_pData[1] = 5;      // their seed
    ASSERT_TRUE(client->CallProcedure(call.get(), kTimeout));
    ASSERT_EQ(call->m_nLength, 1000);
    EXPECT_EQ(FirstPatternMismatch(call->m_pData, 1000, 5), -1);
    EXPECT_EQ(server->LastCall().length, 700);
    EXPECT_EQ(client->m_MultiReturnBlock.m_nLength, 0);
}

TEST_F(LoopbackPair, LostChunkAnswerIsRecoveredByTheNextTry) {
    std::atomic<int> answersToClient{0};
    ThroughRelay([&](Way way, const std::int32_t* words, int bytes) {
        // The answer to chunk 1 (the second answer) is lost once.
        if (way == Way::ToClient && bytes >= 4 && words[0] == RP_RETURN && ++answersToClient == 2) return Verdict::Drop;
        return Verdict::Pass;
    });
    auto call = PatternCall(kProcRecord, 700, 7);
    ASSERT_TRUE(client->CallProcedure(call.get(), 300));
    EXPECT_EQ(call->GetLongData(), 700);
    const auto chunks = relay->Chunks(RP_MULTI_CALL);
    ASSERT_EQ(chunks.size(), 4u) << "chunk 1 went twice";
    EXPECT_EQ(chunks[1].chunkIndex, 1);
    EXPECT_EQ(chunks[2].chunkIndex, 1);
    EXPECT_EQ(server->callsServed, 1);
    const auto seen = server->LastCall();
    ASSERT_EQ(seen.length, 700) << "the repeated chunk was not counted twice";
    EXPECT_EQ(FirstPatternMismatch(seen.data.data(), 700, 7), -1);
}

TEST_F(LoopbackPair, DuplicatedChunksAreReassembledOnce) {
    ThroughRelay([](Way way, const std::int32_t* words, int bytes) {
        return way == Way::ToServer && bytes >= 4 && words[0] == RP_MULTI_CALL ? Verdict::Duplicate : Verdict::Pass;
    });
    auto call = PatternCall(kProcRecord, 2000, 9);
    ASSERT_TRUE(client->CallProcedure(call.get(), kTimeout));
    EXPECT_EQ(call->GetLongData(), 2000);
    // Let the copy of the last chunk arrive too: it must not start a second call.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(server->callsServed, 1);
    EXPECT_EQ(FirstPatternMismatch(server->LastCall().data.data(), 2000, 9), -1);
}

TEST_F(LoopbackPair, ThreeLostTriesFailTheCallAndLeaveTheBlock) {
    ThroughRelay([](Way way, const std::int32_t* words, int bytes) {
        const bool chunkOne = bytes >= 32 && words[0] == RP_MULTI_CALL && words[6] == 1;
        return way == Way::ToServer && chunkOne ? Verdict::Drop : Verdict::Pass;
    });
    auto call = PatternCall(kProcRecord, 1000, 11);
    const auto before = std::vector<std::int32_t>(call->m_pData, call->m_pData + call->m_nLength);
    EXPECT_FALSE(client->CallProcedure(call.get(), 150));
    EXPECT_EQ(call->m_nType, RP_CALL);
    EXPECT_EQ(call->m_nProcedure, kProcRecord);
    ASSERT_EQ(call->m_nLength, 1000);
    EXPECT_EQ(std::memcmp(call->m_pData, before.data(), before.size() * 4), 0);
    const auto chunks = relay->Chunks(RP_MULTI_CALL);
    ASSERT_EQ(chunks.size(), 4u) << "chunk 0 once, chunk 1 three times, nothing after";
    EXPECT_EQ(server->callsServed, 0);
}

TEST_F(LoopbackPair, LostReturnChunkEndsTheCallWithAnEmptyAnswer) {
    ThroughRelay([](Way way, const std::int32_t* words, int bytes) {
        const bool chunkOne = bytes >= 32 && words[0] == RP_MULTI_RETURN && words[6] == 1;
        return way == Way::ToClient && chunkOne ? Verdict::Drop : Verdict::Pass;
    });
    CUdpDataBlockEx call(kProcAnswer);
    call.AppendLongData(1000);
    call.AppendLongData(3);
    ASSERT_TRUE(client->CallProcedure(&call, kTimeout));
    EXPECT_EQ(call.m_nType, RP_RETURN);
    EXPECT_EQ(call.m_nLength, 0);
}

TEST_F(LoopbackPair, DisabledMultiSendsNothingForLongCalls) {
    ThroughRelay(nullptr);
    client->DisableMulti();
    auto tooLong = PatternCall(kProcRecord, 351, 1);
    EXPECT_FALSE(client->CallProcedure(tooLong.get(), 200));
    EXPECT_EQ(tooLong->m_nLength, 351);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(relay->Log().empty()) << "no datagram left the client";
    auto fits = PatternCall(kProcRecord, 350, 1);
    ASSERT_TRUE(client->CallProcedure(fits.get(), kTimeout));
    EXPECT_EQ(fits->GetLongData(), 350);
}

TEST_F(LoopbackPair, DisabledMultiStillReassemblesArrivingChunks) {
    // A server that has chunked sending off from the start (switched before its dispatcher runs).
    server = std::make_unique<ServingCallerEx>();
    server->DisableMulti();
    ASSERT_TRUE(server->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0));
    Target(*client, server->GetMyUDPPort());
    auto call = PatternCall(kProcRecord, 1000, 12);
    ASSERT_TRUE(client->CallProcedure(call.get(), kTimeout));
    EXPECT_EQ(call->GetLongData(), 1000);
    // Its own long answers it does not send: the call ends by its time-out.
    CUdpDataBlockEx longAnswer(kProcAnswer);
    longAnswer.AppendLongData(351);
    longAnswer.AppendLongData(0);
    EXPECT_FALSE(client->CallProcedure(&longAnswer, 200));
}

TEST_F(LoopbackPair, ChunkedCallWithoutTargetFailsAtOnce) {
    client->SetMultiTarget(0, cextest::kLoopback);
    auto call = PatternCall(kProcRecord, 351, 1);
    EXPECT_FALSE(client->CallProcedure(call.get(), kTimeout));
    EXPECT_EQ(server->callsServed, 0);
}

}  // namespace
