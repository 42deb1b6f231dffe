#pragma once
// The answers to one broadcast call: CBCastItem is one answer (its data block and
// the address it came from), CBCastReturnBlock the collection the caller owns.
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/socket/SockAddr.h"
#include <cstdint>

class CBCastItem : public CUdpDataBlockEx {
public:
    CBCastItem() = default;
    CBCastItem(const CBCastItem& other);
    CBCastItem& operator=(const CBCastItem& other);

    CSockAddr m_addrFrom;   // the answering caller's unicast address and port
};

class CBCastReturnBlock {
public:
    CBCastReturnBlock() = default;
    ~CBCastReturnBlock();
    CBCastReturnBlock(const CBCastReturnBlock& other);             // deep copy of the items
    CBCastReturnBlock& operator=(const CBCastReturnBlock& other);  // deep copy of the items

    void Add(const CUdpDataBlockEx* block, const CSockAddr* address);
    void Clear();                                       // frees items; keeps the reference number
    std::uint32_t GetSize() const { return m_nSize; }
    CBCastItem* GetAt(std::uint32_t index) const;       // nullptr past the end

    std::int32_t m_nReferenceNumber = 0;
    std::uint32_t m_nSize = 0;
    std::uint32_t m_nCapacity = 0;
    CBCastItem** m_ppItems = nullptr;
};
