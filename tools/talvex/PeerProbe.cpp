#include "PeerProbe.h"

#include <Talvex05u.h>

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace cli {

namespace {

constexpr std::int32_t kPingPacket[4] = {RP_PING, 0, 0, 0};   // the header of a liveness ping

// A UDP socket connected to the peer that queues ICMP errors; -1 on failure.
int ConnectedProbeSocket(const PeerAddress& peer) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(peer.port);
    to.sin_addr.s_addr = htonl(peer.hostAddress);
    if (::setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0 ||
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the socket's error queue holds "port unreachable" from the peer's system.
bool PortUnreachableQueued(int fd) {
    char control[512];
    char data[64];
    iovec part{data, sizeof data};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        const auto* error = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
        if (error->ee_origin == SO_EE_ORIGIN_ICMP && error->ee_errno == ECONNREFUSED) return true;
    }
    return false;
}

ProbeResult AwaitAnswerOrError(int fd, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (int round = 0; round < 64; ++round) {   // bounded: a stray error or datagram costs one round
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0) continue;
        if (watch.revents & POLLERR) {
            if (PortUnreachableQueued(fd)) return ProbeResult::NothingListens;
            continue;
        }
        char answer[64];
        if (::recv(fd, answer, sizeof answer, MSG_DONTWAIT) >= 0) return ProbeResult::Listening;
    }
    return ProbeResult::Unknown;
}

}  // namespace

ProbeResult ProbePeer(const PeerAddress& peer, int waitMs) {
    int fd = ConnectedProbeSocket(peer);
    if (fd < 0) return ProbeResult::Unknown;
    ProbeResult result = ProbeResult::Unknown;
    if (::send(fd, kPingPacket, sizeof kPingPacket, 0) == static_cast<ssize_t>(sizeof kPingPacket))
        result = AwaitAnswerOrError(fd, waitMs);
    ::close(fd);
    return result;
}

std::string NothingListensText(const PeerAddress& peer) { return "nothing listens on " + peer.ToString(); }

}  // namespace cli
