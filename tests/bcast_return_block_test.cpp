// The broadcast answer collection: growth, bounds, Clear, and deep copies.
#include "talvex05u/caller/BCastReturnBlock.h"

#include <gtest/gtest.h>

namespace {

CUdpDataBlockEx AnswerBlock(std::int32_t value) {
    CUdpDataBlockEx block(3);
    block.m_nType = 8;
    block.m_nReferenceNumber = 17;
    block.AppendLongData(value);
    block.AppendLongData(value + 1);
    return block;
}

TEST(BCastReturnBlock, GrowsBy256AndKeepsOrderAndAddresses) {
    CBCastReturnBlock answers;
    EXPECT_EQ(0u, answers.GetSize());
    EXPECT_EQ(nullptr, answers.GetAt(0));
    for (std::int32_t i = 0; i < 257; ++i) {
        const CUdpDataBlockEx block = AnswerBlock(i);
        const CSockAddr from(0x7F000001u, static_cast<std::uint16_t>(1000 + i));
        answers.Add(&block, &from);
        EXPECT_EQ(i < 256 ? 256u : 512u, answers.m_nCapacity);
    }
    ASSERT_EQ(257u, answers.GetSize());
    EXPECT_EQ(nullptr, answers.GetAt(257));
    for (std::uint32_t i = 0; i < 257; ++i) {
        const CBCastItem* item = answers.GetAt(i);
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(1000 + static_cast<int>(i), item->m_addrFrom.Port());
        EXPECT_EQ(static_cast<std::int32_t>(i), item->GetLongData());
        EXPECT_EQ(8, item->m_nType);
    }
}

TEST(BCastReturnBlock, ItemsStartReadingAtTheFirstWordAndClearKeepsTheReference) {
    CBCastReturnBlock answers;
    answers.m_nReferenceNumber = 99;
    CUdpDataBlockEx block = AnswerBlock(40);
    block.GetLongData();   // the source's read cursor is not copied
    const CSockAddr from(0x7F000001u, 5);
    answers.Add(&block, &from);
    EXPECT_EQ(0, answers.GetAt(0)->m_nReadPos);
    EXPECT_EQ(40, answers.GetAt(0)->GetLongData());
    answers.Clear();
    EXPECT_EQ(0u, answers.GetSize());
    EXPECT_EQ(0u, answers.m_nCapacity);
    EXPECT_EQ(nullptr, answers.m_ppItems);
    EXPECT_EQ(99, answers.m_nReferenceNumber);
}

TEST(BCastReturnBlock, CopiesOwnTheirItems) {
    CBCastReturnBlock original;
    original.m_nReferenceNumber = 5;
    for (std::int32_t i = 0; i < 3; ++i) {
        const CUdpDataBlockEx block = AnswerBlock(i * 10);
        const CSockAddr from(0x7F000001u, static_cast<std::uint16_t>(i + 1));
        original.Add(&block, &from);
    }
    CBCastReturnBlock assigned;
    assigned = original;
    CBCastReturnBlock constructed(original);
    original.Clear();   // the copies must not share (and later double-free) the items
    for (const CBCastReturnBlock* copy : {&assigned, &constructed}) {
        ASSERT_EQ(3u, copy->GetSize());
        EXPECT_EQ(5, copy->m_nReferenceNumber);
        EXPECT_NE(nullptr, copy->GetAt(2));
        EXPECT_EQ(20, copy->GetAt(2)->GetLongData());
        EXPECT_EQ(3, copy->GetAt(2)->m_addrFrom.Port());
    }
    assigned = assigned;   // self-assignment keeps the items
    EXPECT_EQ(3u, assigned.GetSize());
}

TEST(BCastItem, AssignmentCopiesBlockAndAddress) {
    CBCastItem a;
    static_cast<CUdpDataBlockEx&>(a) = AnswerBlock(7);
    a.m_addrFrom = CSockAddr(0x7F000002u, 77);
    CBCastItem b;
    b = a;
    EXPECT_EQ(7, b.GetLongData());
    EXPECT_EQ(77, b.m_addrFrom.Port());
    EXPECT_EQ(0x7F000002u, b.m_addrFrom.IPAddr());
}

}  // namespace
