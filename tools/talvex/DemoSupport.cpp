#include "DemoSupport.h"

#include "ValueParser.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cli {

HeldPort::HeldPort() {
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        m_port = ntohs(address.sin_port);
    }
}

HeldPort::~HeldPort() { Release(); }

void HeldPort::Release() {
    if (m_socket >= 0) close(m_socket);
    m_socket = -1;
}

bool IsCountAnswer(const CUdpDataBlockEx& block, std::int32_t n) {
    if (DataWords(block) != n) return false;
    for (std::int32_t i = 0; i < n; ++i) {
        if (block.m_pData[i] != i) return false;
    }
    return true;
}

unsigned short BoundUdpPort(const CRP_Caller& caller) {
    if (caller.m_Socket.m_hSocket == talvex::kInvalidSocket) return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(caller.m_Socket.m_hSocket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string Throughput(std::int64_t words, double milliseconds) {
    char text[64];
    double megabytes = static_cast<double>(words) * 4.0 / 1e6;
    std::snprintf(text, sizeof text, "%.1f MB/s", milliseconds > 0.0 ? megabytes / (milliseconds / 1000.0) : 0.0);
    return text;
}

std::int64_t NowNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double MillisecondsSince(std::int64_t startNanoseconds) {
    return static_cast<double>(NowNanoseconds() - startNanoseconds) / 1e6;
}

}  // namespace cli
