// DatagramBatch: recvmmsg without waiting, each datagram checked as one recvmsg would be.
#include "socket/DatagramBatch.h"

#include "talvex05u/platform/SocketError.h"

#include <cerrno>
#include <netinet/in.h>

namespace talvex {

namespace {
constexpr std::int32_t kMessageTooLong = 10040;
}  // namespace

DatagramBatch::DatagramBatch() {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        m_vectors[i] = iovec{m_entries[i].words, sizeof m_entries[i].words};
        msghdr& header = m_headers[i].msg_hdr;
        header.msg_iov = &m_vectors[i];
        header.msg_iovlen = 1;
    }
}

int DatagramBatch::Receive(int fd, bool wait) {
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        // The kernel writes the sender's length back: every receive starts from a full one.
        m_headers[i].msg_hdr.msg_name = static_cast<sockaddr_in*>(m_entries[i].sender);
        m_headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        m_headers[i].msg_len = 0;
    }
    const int flags = (wait ? MSG_WAITFORONE : MSG_DONTWAIT) | MSG_TRUNC;
    const int received = ::recvmmsg(fd, m_headers.data(), kSlots, flags, nullptr);
    m_count = 0;
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
        Entry& failed = m_entries[0];
        SetLastSocketErrorFromErrno();
        failed.outcome = PendingDatagram::Outcome::kFailed;
        failed.size = 0;
        failed.error = WSAGetLastError();
        m_count = 1;
        return m_count;
    }
    for (int i = 0; i < received; ++i) {
        Entry& entry = m_entries[static_cast<std::size_t>(i)];
        const auto length = static_cast<std::int64_t>(m_headers[static_cast<std::size_t>(i)].msg_len);
        if (length == 0 || length > kDatagramBytes) {
            entry.outcome = PendingDatagram::Outcome::kFailed;
            entry.size = 0;
            entry.error = length == 0 ? 0 : kMessageTooLong;
        } else {
            entry.outcome = PendingDatagram::Outcome::kReceived;
            entry.size = static_cast<int>(length);
            entry.error = 0;
        }
    }
    m_count = received;
    return m_count;
}

}  // namespace talvex
