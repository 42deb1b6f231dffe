// The reassembly of chunked transfers on its own: storing, repeats, refusals,
// slot wrap, overwritten transfers, reused references and the two directions.
#include "caller/ChunkReassembly.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using talvex::ChunkHeader;
using talvex::ChunkOutcome;
using talvex::ChunkReassembly;

constexpr std::size_t kStoreBytes = static_cast<std::size_t>(kChunkSlots) * kChunkSlotBytes;

// The word at position `position` of the test transfer `reference`.
std::int32_t PatternWord(std::int32_t reference, std::int64_t position) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(reference) * 1000003u +
                                     static_cast<std::uint32_t>(position) * 7u + 1u);
}

// A received chunk datagram as the dispatcher's working block holds it. `present`
// is the number of chunk bytes that really came along (default: all).
CUdpDataBlockEx MakeChunk(std::int32_t reference, std::int32_t count, std::int32_t index, std::int32_t byteCount,
                          std::int32_t present = -1) {
    if (present < 0) present = byteCount;
    const std::int32_t dataWords = 4 + present / 4;
    std::vector<std::int32_t> packet(static_cast<std::size_t>(4 + dataWords));
    packet[0] = RP_MULTI_CALL;
    packet[1] = 42;
    packet[2] = 900 + index;
    packet[3] = dataWords | (dataWords << 16);
    packet[4] = reference;
    packet[5] = count;
    packet[6] = index;
    packet[7] = byteCount;
    for (std::int32_t w = 0; w < present / 4; ++w) {
        packet[static_cast<std::size_t>(8 + w)] = PatternWord(reference, static_cast<std::int64_t>(index) * kChunkWords + w);
    }
    return CUdpDataBlockEx(packet.data(), static_cast<std::int16_t>(packet.size() * 4));
}

// Byte count of chunk `index` of a transfer of `words` words.
std::int32_t ChunkBytesOf(std::int64_t words, std::int32_t index) {
    const std::int64_t left = words * 4 - static_cast<std::int64_t>(index) * kChunkBytes;
    return static_cast<std::int32_t>(left < kChunkBytes ? left : kChunkBytes);
}

std::int32_t ChunksOf(std::int64_t words) { return static_cast<std::int32_t>((words + kChunkWords - 1) / kChunkWords); }

// One direction's store with its own index, counter and ledger.
struct Direction {
    std::multimap<ChunkKey, ChunkEntry>* index;
    std::unique_ptr<unsigned char[]> store{new unsigned char[kStoreBytes]};
    std::int32_t lastSlot = -1;
    ChunkLedger ledger;
    ChunkReassembly View() { return ChunkReassembly(*index, store.get(), lastSlot, ledger); }

    ChunkOutcome Feed(const CUdpDataBlockEx& chunk) { return View().Accept(chunk, nullptr); }

    // Feeds every chunk of a transfer of `words` words in order; the outcome of the last.
    ChunkOutcome FeedTransfer(std::int32_t reference, std::int64_t words) {
        const std::int32_t count = ChunksOf(words);
        ChunkOutcome outcome = ChunkOutcome::Refused;
        for (std::int32_t i = 0; i < count; ++i) outcome = Feed(MakeChunk(reference, count, i, ChunkBytesOf(words, i)));
        return outcome;
    }
};

void ExpectPattern(const CUdpDataBlockEx& block, std::int32_t reference, std::int64_t words) {
    ASSERT_EQ(block.m_nLength, words);
    for (std::int64_t w = 0; w < words; ++w) {
        if (block.m_pData[w] != PatternWord(reference, w)) {
            FAIL() << "word " << w << " differs";
        }
    }
}

class ChunkReassemblyTest : public ::testing::Test {
protected:
    std::multimap<ChunkKey, ChunkEntry> index;
    Direction calls{&index};
    Direction returns{&index};
};

TEST_F(ChunkReassemblyTest, TransfersOfSeveralLengthsComeTogetherWordForWord) {
    for (std::int64_t words : {351, 692, 700, 3460}) {
        SCOPED_TRACE(words);
        const auto reference = static_cast<std::int32_t>(words);
        ASSERT_EQ(calls.FeedTransfer(reference, words), ChunkOutcome::Completed);
        CUdpDataBlockEx block;
        ASSERT_TRUE(calls.View().Collect(reference, block));
        ExpectPattern(block, reference, words);
        EXPECT_TRUE(index.empty()) << "a completed transfer leaves the index";
        EXPECT_TRUE(calls.ledger.transfers.empty());
    }
}

TEST_F(ChunkReassemblyTest, RepeatedChunkIsNotStoredOrCountedAgain) {
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 0, kChunkBytes)), ChunkOutcome::Repeated);
    EXPECT_EQ(calls.lastSlot, 0);
    EXPECT_EQ(index.size(), 1u);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 1, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 1, kChunkBytes)), ChunkOutcome::Repeated);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 2, 32)), ChunkOutcome::Completed);
    CUdpDataBlockEx block;
    ASSERT_TRUE(calls.View().Collect(5, block));
    ExpectPattern(block, 5, 700);
}

TEST_F(ChunkReassemblyTest, MalformedChunksAreRefusedWithoutTouchingTheStore) {
    struct Case {
        const char* what;
        std::int32_t count, index, byteCount, present;
    };
    const Case cases[] = {
        {"count 0", 0, 0, 4, 4},
        {"count above the slots", kChunkSlots + 1, 0, kChunkBytes, kChunkBytes},
        {"negative index", 3, -1, kChunkBytes, kChunkBytes},
        {"index equal to count", 3, 3, 8, 8},
        {"negative byte count", 3, 2, -4, 0},
        {"byte count above 1384", 3, 2, kChunkBytes + 4, kChunkBytes},
        {"byte count not a multiple of 4", 3, 2, 6, 8},
        {"short chunk that is not the last", 3, 0, kChunkBytes - 4, kChunkBytes - 4},
        {"more bytes announced than came", 3, 2, 400, 100},
        {"full chunk with nothing behind the header", 3, 1, kChunkBytes, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(calls.Feed(MakeChunk(8, c.count, c.index, c.byteCount, c.present)), ChunkOutcome::Refused);
    }
    EXPECT_TRUE(index.empty());
    EXPECT_EQ(calls.lastSlot, -1);
    EXPECT_EQ(calls.ledger.slotUses, 0u);
}

TEST_F(ChunkReassemblyTest, ChunkThatDisagreesWithItsTransfersCountIsRefused) {
    EXPECT_EQ(calls.Feed(MakeChunk(9, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(9, 4, 1, kChunkBytes)), ChunkOutcome::Refused);
    EXPECT_EQ(index.size(), 1u);
}

TEST_F(ChunkReassemblyTest, TooShortDatagramIsRefused) {
    const std::int32_t packet[6] = {RP_MULTI_CALL, 1, 2, 2 | (2 << 16), 77, 2};
    EXPECT_EQ(calls.Feed(CUdpDataBlockEx(packet, sizeof packet)), ChunkOutcome::Refused);
    const std::int32_t headerOnly[4] = {RP_MULTI_CALL, 1, 2, 0};
    EXPECT_EQ(calls.Feed(CUdpDataBlockEx(headerOnly, sizeof headerOnly)), ChunkOutcome::Refused);
}

TEST_F(ChunkReassemblyTest, SlotCounterWrapsFrom9999ToZero) {
    calls.lastSlot = kChunkSlots - 2;
    EXPECT_EQ(calls.Feed(MakeChunk(11, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.lastSlot, kChunkSlots - 1);
    EXPECT_EQ(calls.Feed(MakeChunk(11, 3, 1, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.lastSlot, 0);
    EXPECT_EQ(index.find(ChunkKey{1, 11})->second.m_pData, calls.store.get());
    EXPECT_EQ(calls.Feed(MakeChunk(11, 3, 2, 32)), ChunkOutcome::Completed);
    CUdpDataBlockEx block;
    ASSERT_TRUE(calls.View().Collect(11, block));
    ExpectPattern(block, 11, 700);
}

TEST_F(ChunkReassemblyTest, LongestTransferFillsEverySlotAndStaysIntact) {
    const std::int64_t words = static_cast<std::int64_t>(kChunkSlots) * kChunkWords;   // 3,460,000
    ASSERT_EQ(calls.FeedTransfer(12, words), ChunkOutcome::Completed);
    CUdpDataBlockEx block;
    ASSERT_TRUE(calls.View().Collect(12, block));
    ExpectPattern(block, 12, words);
}

TEST_F(ChunkReassemblyTest, TransferWhoseSlotsWereReusedIsDropped) {
    EXPECT_EQ(calls.Feed(MakeChunk(13, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    // 9999 further chunks of other transfers: transfer 13's first slot is still intact.
    for (std::int32_t i = 0; i < kChunkSlots - 1; ++i) calls.Feed(MakeChunk(100000 + i, 2, 0, kChunkBytes));
    EXPECT_EQ(calls.ledger.transfers.count(13), 1u);
    // The next store reuses its slot: the transfer is dropped and cannot complete.
    calls.Feed(MakeChunk(200000, 2, 0, kChunkBytes));
    EXPECT_EQ(calls.ledger.transfers.count(13), 0u);
    EXPECT_EQ(index.count(ChunkKey{0, 13}), 0u);
    EXPECT_EQ(calls.Feed(MakeChunk(13, 3, 1, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(13, 3, 2, 32)), ChunkOutcome::Stored) << "never reassembled from overwritten bytes";
    // The index holds only chunks whose slots are intact.
    EXPECT_LE(index.size(), static_cast<std::size_t>(kChunkSlots));
}

TEST_F(ChunkReassemblyTest, ReusedTransferReferenceStartsClean) {
    ASSERT_EQ(calls.FeedTransfer(21, 700), ChunkOutcome::Completed);
    CUdpDataBlockEx first;
    ASSERT_TRUE(calls.View().Collect(21, first));
    // The same reference again, a different length: no old entry is taken for a repeat.
    EXPECT_EQ(calls.Feed(MakeChunk(21, 2, 0, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(21, 2, 1, 20)), ChunkOutcome::Completed);
    CUdpDataBlockEx second;
    ASSERT_TRUE(calls.View().Collect(21, second));
    ExpectPattern(second, 21, 351);
}

TEST_F(ChunkReassemblyTest, CallAndReturnTransfersWithOneReferenceStayApart) {
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(returns.Feed(MakeChunk(30, 2, 0, kChunkBytes)), ChunkOutcome::Stored) << "not a repeat, not a count clash";
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 1, kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(returns.Feed(MakeChunk(30, 2, 1, 20)), ChunkOutcome::Completed);
    CUdpDataBlockEx returned;
    ASSERT_TRUE(returns.View().Collect(30, returned));
    ExpectPattern(returned, 30, 351);
    EXPECT_EQ(index.size(), 2u) << "the call's chunks stay";
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 2, 32)), ChunkOutcome::Completed);
    CUdpDataBlockEx called;
    ASSERT_TRUE(calls.View().Collect(30, called));
    ExpectPattern(called, 30, 700);
    EXPECT_TRUE(index.empty());
}

TEST_F(ChunkReassemblyTest, CollectRefusesAnIncompleteTransfer) {
    EXPECT_EQ(calls.Feed(MakeChunk(40, 3, 0, kChunkBytes)), ChunkOutcome::Stored);
    CUdpDataBlockEx block;
    EXPECT_FALSE(calls.View().Collect(40, block));
    EXPECT_FALSE(calls.View().Collect(41, block));
    EXPECT_EQ(block.m_nLength, 0);
    EXPECT_EQ(index.size(), 1u);
}

}  // namespace
