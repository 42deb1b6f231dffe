// CBCastItem and CBCastReturnBlock: the answers to one broadcast call. Copies of a
// collection are deep copies, so no two collections ever free one item.
#include "talvex05u/caller/BCastReturnBlock.h"

#include <algorithm>

namespace {
constexpr std::uint32_t kGrowthItems = 256;
}  // namespace

CBCastItem::CBCastItem(const CBCastItem& other) : CUdpDataBlockEx(other), m_addrFrom(other.m_addrFrom) {
    m_nReadPos = 0;
}

CBCastItem& CBCastItem::operator=(const CBCastItem& other) {
    if (this != &other) {
        CUdpDataBlockEx::operator=(other);
        m_addrFrom = other.m_addrFrom;
    }
    return *this;
}

CBCastReturnBlock::~CBCastReturnBlock() { Clear(); }

CBCastReturnBlock::CBCastReturnBlock(const CBCastReturnBlock& other) { *this = other; }

CBCastReturnBlock& CBCastReturnBlock::operator=(const CBCastReturnBlock& other) {
    if (this == &other) return *this;
    Clear();
    m_nReferenceNumber = other.m_nReferenceNumber;
    for (std::uint32_t i = 0; i < other.m_nSize; ++i) {
        const CBCastItem* item = other.m_ppItems[i];
        if (item != nullptr) Add(item, &item->m_addrFrom);
    }
    return *this;
}

void CBCastReturnBlock::Add(const CUdpDataBlockEx* block, const CSockAddr* address) {
    if (block == nullptr || address == nullptr) return;
    if (m_nSize + 1 > m_nCapacity) {
        const std::uint32_t capacity = m_nCapacity + kGrowthItems;
        auto** items = new CBCastItem*[capacity]();
        if (m_ppItems != nullptr) std::copy(m_ppItems, m_ppItems + m_nSize, items);
        delete[] m_ppItems;
        m_ppItems = items;
        m_nCapacity = capacity;
    }
    auto* item = new CBCastItem;
    item->m_addrFrom = *address;
    static_cast<CUdpDataBlockEx&>(*item) = *block;
    m_ppItems[m_nSize] = item;
    ++m_nSize;
}

void CBCastReturnBlock::Clear() {
    for (std::uint32_t i = 0; i < m_nSize; ++i) delete m_ppItems[i];
    delete[] m_ppItems;
    m_ppItems = nullptr;
    m_nSize = 0;
    m_nCapacity = 0;
}

CBCastItem* CBCastReturnBlock::GetAt(std::uint32_t index) const {
    return index < m_nSize ? m_ppItems[index] : nullptr;
}
