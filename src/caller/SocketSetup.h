#pragma once
// Socket options the caller gives each of its sockets when it makes one.
#include <sys/socket.h>

namespace talvex {

// Send and receive buffers of both of the caller's sockets.
constexpr int kCallerSocketBufferBytes = 524288;

inline void SetCallerBufferSizes(int fd) {
    int size = kCallerSocketBufferBytes;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

}  // namespace talvex
