#include "caller/AllowedPeers.h"

#include <arpa/inet.h>
#include <charconv>
#include <string>

namespace talvex {

namespace {

// Trims spaces and tabs from both ends.
std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<AllowedPeers::Network> ParseNetwork(std::string_view entry) {
    const std::size_t slash = entry.find('/');
    const std::string address(entry.substr(0, slash));
    in_addr parsed{};
    if (address.empty() || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) return std::nullopt;
    int prefix = 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = entry.substr(slash + 1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || prefix < 0 || prefix > 32) {
            return std::nullopt;
        }
    }
    const std::uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    return AllowedPeers::Network{ntohl(parsed.s_addr) & mask, mask};
}

}  // namespace

std::optional<AllowedPeers> AllowedPeers::Parse(std::string_view text) {
    AllowedPeers peers;
    if (Trimmed(text).empty()) return peers;
    while (true) {
        const std::size_t comma = text.find(',');
        const std::optional<Network> network = ParseNetwork(Trimmed(text.substr(0, comma)));
        if (!network) return std::nullopt;
        peers.m_networks.push_back(*network);
        if (comma == std::string_view::npos) return peers;
        text.remove_prefix(comma + 1);
    }
}

}  // namespace talvex
