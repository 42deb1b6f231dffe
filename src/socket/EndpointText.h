#pragma once
// A socket address as "A.B.C.D:PORT", the form diagnostic lines name a peer in.
#include "talvex05u/socket/SockAddr.h"

#include <arpa/inet.h>
#include <string>

namespace talvex {

inline std::string EndpointText(const CSockAddr& address) {
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, dotted, sizeof dotted);
    return std::string(dotted) + ":" + std::to_string(address.Port());
}

}  // namespace talvex
