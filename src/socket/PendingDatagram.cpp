// TakePendingDatagram: one recvmsg without waiting, with the arrival interface read
// from the IP_PKTINFO control message when the socket asked for it.
#include "socket/PendingDatagram.h"

#include "talvex05u/platform/SocketError.h"

#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

namespace talvex {

namespace {

constexpr int kMessageTooLong = 10040;

int ArrivalInterface(msghdr& message) {
    for (cmsghdr* control = CMSG_FIRSTHDR(&message); control != nullptr; control = CMSG_NXTHDR(&message, control)) {
        if (control->cmsg_level == IPPROTO_IP && control->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(control), sizeof info);
            return info.ipi_ifindex;
        }
    }
    return 0;
}

PendingDatagram Failed() { return {PendingDatagram::Outcome::kFailed, 0, 0}; }

PendingDatagram ReceivePending(int fd, void* buffer, int size, CSockAddr& sender);

}  // namespace

PendingDatagram TakePendingDatagram(int fd, void* buffer, int size, CSockAddr& sender) {
    return ReceivePending(fd, buffer, size, sender);
}

namespace {

PendingDatagram ReceivePending(int fd, void* buffer, int size, CSockAddr& sender) {
    iovec data{buffer, size > 0 ? static_cast<std::size_t>(size) : 0};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = static_cast<sockaddr_in*>(sender);
    message.msg_namelen = sizeof(sockaddr_in);
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT | MSG_TRUNC);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return {};
    if (received < 0) {
        SetLastSocketErrorFromErrno();
        return Failed();
    }
    if (received > size) {
        WSASetLastError(kMessageTooLong);
        return Failed();
    }
    if (received == 0) {
        WSASetLastError(0);   // an empty datagram is no socket failure
        return Failed();
    }
    return {PendingDatagram::Outcome::kReceived, static_cast<int>(received), ArrivalInterface(message)};
}

}  // namespace

}  // namespace talvex
