#pragma once
// SocketWait: the wait of one socket operation, a poll on one socket until it is
// readable or writable, bounded by a time-out in whole seconds that starts once.
#include <chrono>

namespace talvex {

class SocketWait {
public:
    // A negative time-out counts as 0 (one look, no wait).
    SocketWait(int fd, int seconds);

    // False when the time-out passed without the socket becoming ready. True when
    // it is ready, and also when poll itself fails or the socket is invalid: the
    // operation that follows then reports the failure.
    bool UntilReadable() { return Until(kReadable); }
    bool UntilWritable() { return Until(kWritable); }
    bool Expired() const;

private:
    static constexpr short kReadable = 0x001;  // POLLIN
    static constexpr short kWritable = 0x004;  // POLLOUT
    bool Until(short events);
    int RemainingMilliseconds() const;

    int m_fd;
    std::chrono::steady_clock::time_point m_deadline;
};

}  // namespace talvex
