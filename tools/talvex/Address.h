#pragma once
// HOST:PORT and port arguments of the talvex program: parsed, range-checked and
// resolved to an IPv4 address, with error messages that name what was refused.
#include <cstdint>
#include <optional>
#include <string>

namespace cli {

// A peer's address: the host as given, its IPv4 address and the port (host order).
struct PeerAddress {
    std::string host;
    std::uint32_t hostAddress = 0;
    std::uint16_t port = 0;

    std::string ToString() const;   // "dotted.address:port"
};

// Parses a port number within [minimum, 65535]; `what` names it in the message.
std::optional<std::uint16_t> ParsePort(const std::string& text, std::uint16_t minimum, const std::string& what,
                                       std::string* error);

// Resolves a host name or dotted address to an IPv4 address in host order.
std::optional<std::uint32_t> ResolveHost(const std::string& host, std::string* error);

// Parses "HOST:PORT" (port 1..65535) and resolves HOST.
std::optional<PeerAddress> ParsePeerAddress(const std::string& text, std::string* error);

// An IPv4 address in host order as dotted-decimal text.
std::string DottedAddress(std::uint32_t hostAddress);

}  // namespace cli
