#pragma once
// Which network interface carries one of this machine's IPv4 addresses.
#include <cstdint>

namespace talvex {

// Index of the interface that has `address` (host order), or 0 when none has it.
int InterfaceOfAddress(std::uint32_t address);

}  // namespace talvex
