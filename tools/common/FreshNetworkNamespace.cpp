// The fresh-namespace check: the namespace's identity from /proc/self/ns/net, its
// interfaces from /proc/self/net/dev, and loopback's flags from SIOCGIFFLAGS.
#include "FreshNetworkNamespace.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace talvex {
namespace {

constexpr char kOuterNamespaceVariable[] = "TALVEX_OUTER_NETNS";

// Interfaces of this process's network namespace, from /proc/self/net/dev.
std::vector<std::string> NamespaceInterfaces() {
    std::vector<std::string> names;
    std::ifstream list("/proc/self/net/dev");
    std::string line;
    for (int count = 0; count < 1000 && std::getline(list, line); ++count) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;   // the two heading lines
        const std::size_t start = line.find_first_not_of(' ');
        names.push_back(line.substr(start, colon - start));
    }
    return names;
}

bool LoopbackIsUp() {
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    const bool up = ::ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0;
    ::close(probe);
    return up;
}

}  // namespace

std::string OwnNetworkNamespace() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/ns/net", error).string();
}

bool InFreshPrivateNamespace(const char* outerNamespace, std::string& why) {
    static const std::set<std::string> kFreshDevices = {"lo",     "tunl0",  "sit0",    "ip6tnl0", "gre0",
                                                        "gretap0", "erspan0", "ip_vti0", "ip6_vti0", "ip6gre0"};
    const std::string own = OwnNetworkNamespace();
    if (own.empty() || outerNamespace == nullptr || own == outerNamespace) {
        why = "not in a private network namespace (" + own + ")";
        return false;
    }
    if (LoopbackIsUp()) {
        why = "the namespace is not fresh: loopback is up";
        return false;
    }
    for (const std::string& name : NamespaceInterfaces()) {
        if (kFreshDevices.count(name) == 0) {
            why = "the namespace is not fresh: it has " + name;
            return false;
        }
    }
    return true;
}

void PassOwnNamespaceToChildren() { ::setenv(kOuterNamespaceVariable, OwnNetworkNamespace().c_str(), 1); }

bool InFreshNamespaceOfParent(std::string& why) {
    const char* outer = std::getenv(kOuterNamespaceVariable);
    if (outer == nullptr) {
        why = "not started by the program's own outer run (no namespace handed down)";
        return false;
    }
    return InFreshPrivateNamespace(outer, why);
}

}  // namespace talvex
