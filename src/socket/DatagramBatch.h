#pragma once
// Several datagrams taken from a socket with one system call, without waiting: a busy
// receiver takes at once what has queued up, instead of one poll and one receive per
// datagram. A batch that came back full says more may be waiting.
#include "socket/PendingDatagram.h"
#include "talvex05u/socket/SockAddr.h"

#include <array>
#include <cstdint>
#include <sys/socket.h>

namespace talvex {

class DatagramBatch {
public:
    static constexpr int kSlots = 16;
    static constexpr int kDatagramBytes = 2048;

    struct Entry {
        PendingDatagram::Outcome outcome = PendingDatagram::Outcome::kNone;
        int size = 0;
        std::int32_t error = 0;   // the socket error of a failed receive (0: an empty datagram)
        CSockAddr sender;
        alignas(std::int32_t) std::int32_t words[kDatagramBytes / 4];
    };

    DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Takes up to kSlots waiting datagrams from `fd`; the number of entries filled (0:
    // none waiting). A failed receive, a datagram longer than kDatagramBytes and an empty
    // one are entries of outcome kFailed. With `wait`, waits for the first one (0 when a
    // signal ended the wait).
    int Receive(int fd, bool wait = false);
    int Count() const { return m_count; }
    bool Full() const { return m_count == kSlots; }
    Entry& operator[](int index) { return m_entries[static_cast<std::size_t>(index)]; }

private:
    std::array<Entry, kSlots> m_entries;
    std::array<mmsghdr, kSlots> m_headers{};
    std::array<iovec, kSlots> m_vectors{};
    int m_count = 0;
};

}  // namespace talvex
