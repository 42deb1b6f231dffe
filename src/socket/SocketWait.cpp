// SocketWait: poll on one socket with a deadline that survives interrupted polls.
#include "socket/SocketWait.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>

namespace talvex {

static_assert(POLLIN == 0x001 && POLLOUT == 0x004, "poll event bits");

SocketWait::SocketWait(int fd, int seconds)
    : m_fd(fd), m_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(std::max(seconds, 0))) {}

bool SocketWait::Expired() const { return std::chrono::steady_clock::now() >= m_deadline; }

int SocketWait::RemainingMilliseconds() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

bool SocketWait::Until(short events) {
    if (m_fd < 0) return true;  // the operation itself reports the bad handle
    for (;;) {
        pollfd entry{m_fd, events, 0};
        const int result = ::poll(&entry, 1, RemainingMilliseconds());
        if (result > 0) return true;
        if (result == 0) return false;
        if (errno != EINTR) return true;
        // A signal ended the poll early: wait again for the rest of the time-out.
    }
}

}  // namespace talvex
