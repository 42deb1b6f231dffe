// The broadcast answer collection: growth, bounds, Clear, and deep copies.
#include "talvex05u/caller/BCastReturnBlock.h"

#include <gtest/gtest.h>

#include <tuple>
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

TEST(BCastReturnBlock, GrowsBy256KeepsOrderAndAddressesAndCopiesOwnTheirItems) {
    CBCastReturnBlock original;
    EXPECT_EQ(nullptr, original.GetAt(0));
    original.m_nReferenceNumber = 5;
    AddAnswers(original, 257);
    CBCastReturnBlock assigned;
    assigned = original;
    const CBCastReturnBlock constructed(original);
    ASSERT_EQ(257u, original.GetSize());
    EXPECT_EQ(nullptr, original.GetAt(257));
    for (std::uint32_t i = 0; i < 257; ++i) {
        const CBCastItem* item = original.GetAt(i);
        ASSERT_NE(nullptr, item);
        EXPECT_EQ(std::make_tuple(1000 + static_cast<int>(i), static_cast<std::int32_t>(i * 10), 8),
                  std::make_tuple(int{item->m_addrFrom.Port()}, item->GetLongData(), item->m_nType));
    }
    original.Clear();  // the copies must not share (and later double-free) the items
    EXPECT_EQ(std::make_tuple(0u, 0u, true, 5),
              std::make_tuple(original.GetSize(), original.m_nCapacity, original.m_ppItems == nullptr, original.m_nReferenceNumber));
    for (const CBCastReturnBlock* copy : {&std::as_const(assigned), &constructed}) {
        ASSERT_EQ(257u, copy->GetSize());
        EXPECT_EQ(std::make_tuple(5, 20, 1002), std::make_tuple(copy->m_nReferenceNumber, copy->GetAt(2)->GetLongData(), int{copy->GetAt(2)->m_addrFrom.Port()}));
    }
    const CBCastReturnBlock& itself = assigned;
    assigned = itself;
    EXPECT_EQ(257u, assigned.GetSize());
}

}  // namespace
