#include "Address.h"

#include "Options.h"

#include <Talvex05u.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace cli {

std::string PeerAddress::ToString() const { return DottedAddress(hostAddress) + ":" + std::to_string(port); }

std::string DottedAddress(std::uint32_t hostAddress) {
    in_addr address{};
    address.s_addr = htonl(hostAddress);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::optional<std::uint16_t> ParsePort(const std::string& text, std::uint16_t minimum, const std::string& what,
                                       std::string* error) {
    std::string reason;
    auto value = ParseInteger(text, minimum, 65535, what, &reason);
    if (!value) {
        *error = "bad port '" + text + "' (" + what + " must be a number " + std::to_string(minimum) + "..65535)";
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

std::optional<std::uint32_t> ResolveHost(const std::string& host, std::string* error) {
    std::optional<std::uint32_t> address = talvex::ResolveIPv4(host);
    if (!address) *error = "unknown host '" + host + "'";
    return address;
}

std::optional<PeerAddress> ParsePeerAddress(const std::string& text, std::string* error) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *error = "bad address '" + text + "' (expected HOST:PORT)";
        return std::nullopt;
    }
    PeerAddress peer;
    peer.host = text.substr(0, colon);
    auto port = ParsePort(text.substr(colon + 1), 1, "the port of " + text, error);
    if (!port) return std::nullopt;
    auto address = ResolveHost(peer.host, error);
    if (!address) return std::nullopt;
    peer.port = *port;
    peer.hostAddress = *address;
    return peer;
}

}  // namespace cli
