#pragma once
// CSockAddr: an IPv4 address and port laid out as sockaddr_in (port and address
// in network byte order inside), with host-order accessors.
#include "talvex05u/platform/CString.h"
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

class CSockAddr : public sockaddr_in {
public:
    CSockAddr();                                                  // AF_INET, port 0, any address
    CSockAddr(const sockaddr& address);                           // NOLINT: copies the 16 bytes
    CSockAddr(const sockaddr_in& address);                        // NOLINT
    CSockAddr(std::uint32_t hostAddress, std::uint16_t hostPort); // both in host order
    CSockAddr(const char* dotted, std::uint16_t hostPort);        // "1.2.3.4"; no address gives 255.255.255.255

    CString DottedDecimal() const;
    std::uint16_t Port() const;        // host order
    std::uint32_t IPAddr() const;      // host order

    CSockAddr& operator=(const sockaddr& address);
    CSockAddr& operator=(const sockaddr_in& address);
    CSockAddr& operator=(const CSockAddr& address) = default;
    CSockAddr(const CSockAddr& address) = default;

    operator sockaddr() const;                                    // NOLINT
    operator sockaddr*() { return reinterpret_cast<sockaddr*>(this); }             // NOLINT
    operator const sockaddr*() const { return reinterpret_cast<const sockaddr*>(this); }  // NOLINT
    operator sockaddr_in*() { return this; }                      // NOLINT
    operator const sockaddr_in*() const { return this; }          // NOLINT
};
static_assert(sizeof(CSockAddr) == 16, "CSockAddr must keep the sockaddr_in layout");
