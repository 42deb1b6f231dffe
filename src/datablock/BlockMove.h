#pragma once
// Moving a block's contents into another without copying its words: the target takes
// the source's buffer (and the source the target's), the header fields are copied, and
// the source is left empty. The same result as `to = from; from.Clear();` at O(1), for
// answers of up to millions of words.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <utility>

namespace talvex {

inline void MoveBlockInto(CUdpDataBlockEx& from, CUdpDataBlockEx& to) {
    if (&from == &to) return;
    std::swap(to.m_pData, from.m_pData);
    std::swap(to.m_nCapacity, from.m_nCapacity);
    to.m_nProcedure = from.m_nProcedure;
    to.m_nType = from.m_nType;
    to.m_nReferenceNumber = from.m_nReferenceNumber;
    to.m_nPacketPos = from.m_nPacketPos;
    to.m_nLength = from.m_nLength;
    to.m_nReadPos = 0;
    from.Clear();
}

}  // namespace talvex
