#pragma once
// The present size of the file behind a mapped region, read from the descriptor that
// memmap keeps for it: the file can be shortened after it was mapped, and a view
// touched past the file's end raises SIGBUS, so the shared-memory channel checks the
// size before it copies.
#include "talvex05u/shmem/MemPrimitives.h"

#include <cstdint>

namespace talvex {

// Bytes the region's file has now; -1 when the region is not mapped or its file
// cannot be examined.
std::int64_t MappedFileBytes(mappedRegionS* const* region);

}  // namespace talvex
