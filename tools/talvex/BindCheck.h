#pragma once
// Why a UDP port could not be bound: the library reports only that it failed (its
// own line names the port in hexadecimal), so the tool tries the same bind itself.
#include <cstdint>
#include <string>

namespace cli {

// The system's reason that ADDRESS:PORT cannot be bound for UDP now ("Address
// already in use", ...), or a general text when the same bind works by now.
std::string BindFailureCause(const std::string& address, std::uint16_t port);

}  // namespace cli
