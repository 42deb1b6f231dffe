#pragma once
// Copying a packet record that GetPacketAt filled: its size word and the packet's bytes,
// not the whole record, since a packet is mostly far shorter than the largest one.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace talvex {

inline void CopyPacketRecord(std::int32_t* to, const std::int32_t* from) {
    const std::int32_t bytes = std::clamp<std::int32_t>(from[0], 0, kMaxPacketBytes);
    std::memcpy(to, from, sizeof(std::int32_t) + static_cast<std::size_t>(bytes));
}

}  // namespace talvex
