#pragma once
// A wait on events that a descriptor can end too: a waiting call watches its
// caller's socket beside its own events.
#include <cstdint>

namespace talvex {

// Like WaitForEvents (without messages), and also ends with kWaitObject0 + count when
// `descriptor` (-1: none) is readable, failed or closed and none of the events is
// set. A set event wins over the descriptor. It spins on the descriptor before it
// sleeps (SocketSpin) unless the caller has just done so (`spin` false).
std::uint32_t WaitForEventsOrReadable(void* const* events, std::uint32_t count, int descriptor,
                                      std::uint32_t milliseconds, bool spin = true);

}  // namespace talvex
