#pragma once
// The networks a caller talks to: a list of IPv4 networks (address and prefix length)
// that datagrams must come from. Parsed from text such as "127.0.0.0/8,10.1.0.0/16";
// a bare address is a network of one. An empty list allows every address.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace talvex {

class AllowedPeers {
public:
    struct Network {
        std::uint32_t address = 0;   // host order, already masked
        std::uint32_t mask = 0;
    };

    // The list the text names; nothing when the text is malformed (a bad address,
    // a prefix outside 0..32, an empty entry). An empty text gives the empty list.
    static std::optional<AllowedPeers> Parse(std::string_view text);

    // True when `hostAddress` (host order) lies in one of the networks, or the list is empty.
    bool Allows(std::uint32_t hostAddress) const {
        if (m_networks.empty()) return true;
        for (const Network& network : m_networks) {
            if ((hostAddress & network.mask) == network.address) return true;
        }
        return false;
    }
    bool Empty() const { return m_networks.empty(); }

private:
    std::vector<Network> m_networks;
};

}  // namespace talvex
