#pragma once
// Builds the call block of a command line (procedure and typed values) with the
// limits that the sending caller sets, for call, event and broadcast.
#include <Talvex05u.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The procedure number and the typed values from `arguments` (the first is the
// procedure). Nothing, with a message naming the bad argument, on failure.
// `maxWords` bounds the block's data words; `why` says where the bound comes from.
std::optional<std::int32_t> BuildCallBlock(const std::vector<std::string>& arguments, std::int64_t maxWords,
                                           const char* why, CUdpDataBlockEx* block, std::string* error);

}  // namespace cli
