#pragma once
// Taking one datagram that poll has reported, without waiting: the dispatcher's
// receive. Linux may drop a datagram between poll and the receive (a bad UDP
// checksum is found only then), so "nothing there after all" is its own outcome
// and not a socket failure.
#include "talvex05u/socket/SockAddr.h"

namespace talvex {

struct PendingDatagram {
    enum class Outcome {
        kReceived,   // `size` bytes, 1 to the buffer's size, from the sender
        kNone,       // nothing was waiting after all: wait again
        kFailed,     // the receive failed, the datagram was too long, or it was empty;
                     // the thread's last socket error says which (0 for an empty one)
    };
    Outcome outcome = Outcome::kNone;
    int size = 0;
    int arrivalInterface = 0;   // index of the interface it arrived on; 0 unless asked for
};

// Receives one datagram from `fd` into `buffer` (`size` bytes) if one is waiting,
// and stores its sender. On a socket with IP_PKTINFO on, also reports the
// interface it arrived on.
PendingDatagram TakePendingDatagram(int fd, void* buffer, int size, CSockAddr& sender);


}  // namespace talvex
