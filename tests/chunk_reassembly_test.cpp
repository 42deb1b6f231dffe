// The reassembly of chunked transfers on its own: storing, repeats, refusals,
// slot wrap, reused references and the two directions (transfers whose slots were
// reused: caller_ex_test, at the dispatcher).
#include "caller/ChunkReassembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <vector>

namespace {

using talvex::ChunkOutcome;

constexpr talvex::ChunkSender kSenderA = 0x7F0000011388ull;   // two senders that number
constexpr talvex::ChunkSender kSenderB = 0x7F0000011389ull;   // their transfers alike

// The word at `position` of the test transfer `reference`.
std::int32_t PatternWord(std::int32_t reference, std::int64_t position) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(reference) * 1000003u +
                                     static_cast<std::uint32_t>(position) * 7u + 1u);
}

// A received chunk datagram; `present` chunk bytes really came along (default: all).
CUdpDataBlockEx MakeChunk(std::int32_t reference, std::int32_t count, std::int32_t index, std::int32_t byteCount,
                          std::int32_t present = -1) {
    const std::int32_t dataWords = 4 + (present < 0 ? byteCount : present) / 4;
    std::vector<std::int32_t> packet = {RP_MULTI_CALL, 42, 900 + index, dataWords | (dataWords << 16),
                                        reference,     count, index,   byteCount};
    for (std::int32_t w = 0; w < dataWords - 4; ++w)
        packet.push_back(PatternWord(reference, static_cast<std::int64_t>(index) * talvex::kChunkWords + w));
    return CUdpDataBlockEx(packet.data(), static_cast<std::int16_t>(packet.size() * 4));
}

// One direction's store with its own slot counter and ledger.
struct Direction {
    std::multimap<talvex::ChunkKey, talvex::ChunkEntry>* index;
    std::unique_ptr<unsigned char[]> store{new unsigned char[static_cast<std::size_t>(talvex::kChunkSlots) * talvex::kChunkSlotBytes]};
    std::int32_t lastSlot = -1;
    talvex::ChunkLedger ledger;
    talvex::ChunkReassembly View() { return talvex::ChunkReassembly(*index, store.get(), lastSlot, ledger); }
    ChunkOutcome Feed(const CUdpDataBlockEx& chunk, talvex::ChunkSender sender = kSenderA) {
        return View().Accept(chunk, sender, nullptr);
    }

    // Feeds every chunk of a transfer of `words` words in order; the outcome of the last.
    ChunkOutcome FeedTransfer(std::int32_t reference, std::int64_t words) {
        const auto count = static_cast<std::int32_t>((words + talvex::kChunkWords - 1) / talvex::kChunkWords);
        ChunkOutcome outcome = ChunkOutcome::Refused;
        for (std::int32_t i = 0; i < count; ++i)
            outcome = Feed(MakeChunk(reference, count, i, static_cast<std::int32_t>(std::min<std::int64_t>(talvex::kChunkBytes, words * 4 - std::int64_t{i} * talvex::kChunkBytes))));
        return outcome;
    }

    // Collects the completed transfer and checks it word for word.
    void ExpectCollected(std::int32_t reference, std::int64_t words, talvex::ChunkSender sender = kSenderA) {
        CUdpDataBlockEx block;
        ASSERT_TRUE(View().Collect({sender, reference}, block));
        ASSERT_EQ(block.m_nLength, words);
        for (std::int64_t w = 0; w < words; ++w)
            if (block.m_pData[w] != PatternWord(reference, w))
                FAIL() << "word " << w << " differs";
    }
};

class ChunkReassemblyTest : public ::testing::Test {
protected:
    std::multimap<talvex::ChunkKey, talvex::ChunkEntry> index;
    Direction calls{&index};
    Direction returns{&index};
};

TEST_F(ChunkReassemblyTest, TransfersComeTogetherWordForWordUpToEverySlotInUse) {
    for (const std::int64_t words : {std::int64_t{351}, std::int64_t{692}, std::int64_t{3460}, std::int64_t{talvex::kChunkSlots} * talvex::kChunkWords}) {
        SCOPED_TRACE(words);
        const auto reference = static_cast<std::int32_t>(words);
        ASSERT_EQ(calls.FeedTransfer(reference, words), ChunkOutcome::Completed);
        calls.ExpectCollected(reference, words);
        EXPECT_TRUE(index.empty()) << "a completed transfer leaves the index";
        EXPECT_TRUE(calls.ledger.transfers.empty());
    }
}

// A repeat takes no slot; the slot counter wraps from 9999 to 0 within one transfer.
TEST_F(ChunkReassemblyTest, RepeatedChunkIsNotStoredOrCountedAgainAndSlotsWrapFrom9999ToZero) {
    calls.lastSlot = talvex::kChunkSlots - 2;
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 0, talvex::kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 0, talvex::kChunkBytes)), ChunkOutcome::Repeated);
    EXPECT_EQ(calls.lastSlot, talvex::kChunkSlots - 1);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 1, talvex::kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 1, talvex::kChunkBytes)), ChunkOutcome::Repeated);
    EXPECT_EQ(calls.lastSlot, 0);
    EXPECT_EQ(index.find(talvex::ChunkKey{1, 5})->second.m_pData, calls.store.get());
    CUdpDataBlockEx block;
    EXPECT_FALSE(calls.View().Collect({kSenderA, 5}, block) || calls.View().Collect({kSenderA, 6}, block)) << "incomplete or unknown";
    EXPECT_EQ(std::make_tuple(block.m_nLength, index.size()), std::make_tuple(0, 2u));
    EXPECT_EQ(calls.Feed(MakeChunk(5, 3, 2, 32)), ChunkOutcome::Completed);
    calls.ExpectCollected(5, 700);
}

TEST_F(ChunkReassemblyTest, MalformedChunksAreRefusedWithoutTouchingTheStore) {
    struct Case { const char* what; std::int32_t count, index, byteCount, present; };
    const Case cases[] = {
        {"count 0", 0, 0, 4, 4},
        {"count above the slots", talvex::kChunkSlots + 1, 0, talvex::kChunkBytes, talvex::kChunkBytes},
        {"negative index", 3, -1, talvex::kChunkBytes, talvex::kChunkBytes},
        {"index equal to count", 3, 3, 8, 8},
        {"negative byte count", 3, 2, -4, 0},
        {"byte count above 1384", 3, 2, talvex::kChunkBytes + 4, talvex::kChunkBytes},
        {"byte count not a multiple of 4", 3, 2, 6, 8},
        {"short chunk that is not the last", 3, 0, talvex::kChunkBytes - 4, talvex::kChunkBytes - 4},
        {"more bytes announced than came", 3, 2, 400, 100},
        {"full chunk with nothing behind the header", 3, 1, talvex::kChunkBytes, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(calls.Feed(MakeChunk(8, c.count, c.index, c.byteCount, c.present)), ChunkOutcome::Refused) << c.what;
    const std::int32_t tooShort[6] = {RP_MULTI_CALL, 1, 2, 2 | (2 << 16), 77, 2}, headerOnly[4] = {RP_MULTI_CALL, 1, 2, 0};
    EXPECT_EQ(calls.Feed(CUdpDataBlockEx(tooShort, sizeof tooShort)), ChunkOutcome::Refused);
    EXPECT_EQ(calls.Feed(CUdpDataBlockEx(headerOnly, sizeof headerOnly)), ChunkOutcome::Refused);
    EXPECT_EQ(std::make_tuple(index.size(), calls.lastSlot, calls.ledger.slotUses), std::make_tuple(0u, -1, 0u)) << "index, slot, slot uses";
    EXPECT_EQ(calls.Feed(MakeChunk(9, 3, 0, talvex::kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(9, 4, 1, talvex::kChunkBytes)), ChunkOutcome::Refused) << "count other than the transfer's";
    EXPECT_EQ(index.size(), 1u);
}

TEST_F(ChunkReassemblyTest, LateRepeatOfAFinishedTransferIsNotANewOneButAReusedReferenceStartsClean) {
    ASSERT_EQ(calls.FeedTransfer(21, 700), ChunkOutcome::Completed);
    calls.ExpectCollected(21, 700);
    EXPECT_EQ(calls.Feed(MakeChunk(21, 3, 2, 32)), ChunkOutcome::Finished) << "a late copy of the completing chunk";
    EXPECT_EQ(calls.Feed(MakeChunk(21, 3, 2, 32), kSenderB), ChunkOutcome::Stored) << "another sender's transfer";
    EXPECT_TRUE(index.size() == 1 && calls.lastSlot == 3) << "only the other sender's chunk was stored";
    EXPECT_EQ(calls.Feed(MakeChunk(21, 3, 0, talvex::kChunkBytes)), ChunkOutcome::Finished) << "a late copy of chunk 0";
    CUdpDataBlockEx restart = MakeChunk(21, 2, 0, talvex::kChunkBytes);
    restart.m_nReferenceNumber = 950;   // a sender that starts over sends chunk 0 in a new call
    EXPECT_EQ(calls.Feed(restart), ChunkOutcome::Stored) << "no old entry taken for a repeat";
    EXPECT_EQ(calls.Feed(MakeChunk(21, 3, 2, 32)), ChunkOutcome::Finished) << "still known while the new transfer runs";
    EXPECT_EQ(calls.Feed(MakeChunk(21, 2, 1, 20)), ChunkOutcome::Completed);
    calls.ExpectCollected(21, 351);
}

TEST_F(ChunkReassemblyTest, TransfersWithOneReferenceStayApartByDirectionAndSender) {
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 0, talvex::kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(returns.Feed(MakeChunk(30, 2, 0, talvex::kChunkBytes)), ChunkOutcome::Stored) << "not a repeat, not a count clash";
    // Another sender's transfer with the same reference: neither a repeat nor refused
    // for its other chunk count, and never mixed into the first sender's.
    EXPECT_EQ(calls.Feed(MakeChunk(30, 2, 0, talvex::kChunkBytes), kSenderB), ChunkOutcome::Stored);
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 1, talvex::kChunkBytes)), ChunkOutcome::Stored);
    EXPECT_EQ(returns.Feed(MakeChunk(30, 2, 1, 20)), ChunkOutcome::Completed);
    returns.ExpectCollected(30, 351);
    EXPECT_EQ(calls.Feed(MakeChunk(30, 2, 1, 20), kSenderB), ChunkOutcome::Completed);
    calls.ExpectCollected(30, 351, kSenderB);
    EXPECT_EQ(index.size(), 2u) << "the first sender's call chunks stay";
    EXPECT_EQ(calls.Feed(MakeChunk(30, 3, 2, 32)), ChunkOutcome::Completed);
    calls.ExpectCollected(30, 700);
    EXPECT_TRUE(index.empty());
}

}  // namespace
