// The broadcast answer collection: growth, bounds, Clear, and deep copies.
#include "talvex05u/caller/BCastReturnBlock.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

// Adds `count` answers: answer i holds the words i * 10, i * 10 + 1 and came from port 1000 + i.
void AddAnswers(CBCastReturnBlock& answers, std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
        CUdpDataBlockEx block(3);
        block.m_nType = 8;
        block.AppendLongData(i * 10);
        block.AppendLongData(i * 10 + 1);
        block.GetLongData();  // the source's read cursor is not copied
        const CSockAddr from(0x7F000001u, static_cast<std::uint16_t>(1000 + i));
        answers.Add(&block, &from);
        ASSERT_EQ(i < 256 ? 256u : 512u, answers.m_nCapacity) << i;
    }
}

TEST(BCastReturnBlock, GrowsBy256AndKeepsOrderAndAddresses) {
    CBCastReturnBlock answers;
    EXPECT_EQ(nullptr, answers.GetAt(0));
    AddAnswers(answers, 257);
    ASSERT_EQ(257u, answers.GetSize());
    EXPECT_EQ(nullptr, answers.GetAt(257));
    for (std::uint32_t i = 0; i < 257; ++i) {
        const CBCastItem* item = answers.GetAt(i);
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(1000 + static_cast<int>(i), item->m_addrFrom.Port());
        EXPECT_EQ(static_cast<std::int32_t>(i * 10), item->GetLongData());
        EXPECT_EQ(8, item->m_nType);
    }
}

TEST(BCastReturnBlock, CopiesOwnTheirItemsAndClearKeepsTheReference) {
    CBCastReturnBlock original;
    original.m_nReferenceNumber = 5;
    AddAnswers(original, 3);
    CBCastReturnBlock assigned;
    assigned = original;
    const CBCastReturnBlock constructed(original);
    original.Clear();  // the copies must not share (and later double-free) the items
    EXPECT_EQ(0u, original.GetSize());
    EXPECT_EQ(0u, original.m_nCapacity);
    EXPECT_EQ(nullptr, original.m_ppItems);
    EXPECT_EQ(5, original.m_nReferenceNumber);
    for (const CBCastReturnBlock* copy : {&std::as_const(assigned), &constructed}) {
        ASSERT_EQ(3u, copy->GetSize());
        EXPECT_EQ(5, copy->m_nReferenceNumber);
        EXPECT_EQ(20, copy->GetAt(2)->GetLongData());
        EXPECT_EQ(1002, copy->GetAt(2)->m_addrFrom.Port());
    }
    const CBCastReturnBlock& itself = assigned;
    assigned = itself;
    EXPECT_EQ(3u, assigned.GetSize());
}

}  // namespace
