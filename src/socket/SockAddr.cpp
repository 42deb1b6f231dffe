// CSockAddr: an IPv4 address with port, stored exactly as sockaddr_in.
#include "talvex05u/socket/SockAddr.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>

namespace {

void SetFamilyPortAddress(sockaddr_in& target, std::uint16_t hostPort, std::uint32_t networkAddress) {
    target.sin_family = AF_INET;
    target.sin_port = htons(hostPort);
    target.sin_addr.s_addr = networkAddress;
}

}  // namespace

// The zero field stays as it was: the constructors set family, port and address only.
// Value-initialising the base first keeps it from holding indeterminate bytes.
CSockAddr::CSockAddr() : sockaddr_in() { SetFamilyPortAddress(*this, 0, htonl(INADDR_ANY)); }

CSockAddr::CSockAddr(const sockaddr& address) : sockaddr_in() { std::memcpy(this, &address, sizeof(sockaddr_in)); }

CSockAddr::CSockAddr(const sockaddr_in& address) : sockaddr_in(address) {}

CSockAddr::CSockAddr(std::uint32_t hostAddress, std::uint16_t hostPort) : sockaddr_in() {
    SetFamilyPortAddress(*this, hostPort, htonl(hostAddress));
}

// Like inet_addr: a text that is no address gives INADDR_NONE (255.255.255.255).
CSockAddr::CSockAddr(const char* dotted, std::uint16_t hostPort) : sockaddr_in() {
    SetFamilyPortAddress(*this, hostPort, dotted != nullptr ? inet_addr(dotted) : INADDR_NONE);
}

CString CSockAddr::DottedDecimal() const {
    const std::uint32_t host = IPAddr();
    wchar_t text[16] = {};
    std::swprintf(text, sizeof text / sizeof text[0], L"%u.%u.%u.%u", (host >> 24) & 0xFFu, (host >> 16) & 0xFFu,
                  (host >> 8) & 0xFFu, host & 0xFFu);
    return CString(text);
}

std::uint16_t CSockAddr::Port() const { return ntohs(sin_port); }

std::uint32_t CSockAddr::IPAddr() const { return ntohl(sin_addr.s_addr); }

CSockAddr& CSockAddr::operator=(const sockaddr& address) {
    std::memcpy(static_cast<sockaddr_in*>(this), &address, sizeof(sockaddr_in));
    return *this;
}

CSockAddr& CSockAddr::operator=(const sockaddr_in& address) {
    static_cast<sockaddr_in&>(*this) = address;
    return *this;
}

CSockAddr::operator sockaddr() const {
    sockaddr copy;
    std::memcpy(&copy, static_cast<const sockaddr_in*>(this), sizeof copy);
    return copy;
}
