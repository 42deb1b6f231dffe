#include "BindCheck.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cli {

std::string BindFailureCause(const std::string& address, std::uint16_t port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1)
        return "'" + address + "' is not an IPv4 address";
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("no socket: ") + std::strerror(errno);
    int failed = ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ? errno : 0;
    ::close(fd);
    return failed != 0 ? std::strerror(failed) : "the bind failed (the port is free again by now)";
}

}  // namespace cli
