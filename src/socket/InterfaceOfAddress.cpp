// InterfaceOfAddress: walks the machine's interface addresses (getifaddrs).
#include "socket/InterfaceOfAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>

namespace talvex {

int InterfaceOfAddress(std::uint32_t address) {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return 0;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owned(list, &::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (ntohl(ipv4->sin_addr.s_addr) == address) return static_cast<int>(::if_nametoindex(entry->ifa_name));
    }
    return 0;
}

}  // namespace talvex
