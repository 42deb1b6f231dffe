#pragma once
// Kernel-style events behind void* handles: unnamed events over eventfd (manual
// or automatic reset) and the process-shared named events of the mem functions.
// Waits may combine several unnamed events and the calling thread's message queue.
#include <cstdint>

namespace talvex {

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;     // wait without time limit
constexpr std::uint32_t kWaitObject0 = 0;            // first handle signalled (index added)
constexpr std::uint32_t kWaitTimeout = 258;          // the time passed
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;   // bad handle or system failure
constexpr std::uint32_t kWaitMessage = 0x100;        // kWaitObject0 + count when waking for a message: see WaitForEvents
constexpr std::uint32_t kMaximumWaitObjects = 64;    // most handles one WaitForEvents takes

// Creates an unnamed event; nullptr when the system refuses.
void* CreateEvent(bool manualReset, bool initiallySet);
bool SetEvent(void* event);
bool ResetEvent(void* event);
// Closes an event handle (unnamed or named); nullptr is ignored.
void CloseEvent(void* event);
// True when the event is set now (does not consume an automatic-reset event).
bool IsEventSet(void* event);

// Waits for one event. Returns kWaitObject0, kWaitTimeout or kWaitFailed.
// An automatic-reset event is reset by the wait that takes it.
std::uint32_t WaitForEvent(void* event, std::uint32_t milliseconds);

// Waits until any (waitAll false) of `count` unnamed events is set, at most
// `milliseconds`. Returns kWaitObject0 + index of the first set handle (lowest
// index wins when several are set), kWaitTimeout, or kWaitFailed. When
// `wakeOnMessages` is true and the calling thread has a message queue with a
// message waiting, returns kWaitObject0 + count (the message stays queued).
// More than kMaximumWaitObjects handles, or a null handle, gives kWaitFailed.
// Waits survive signals and spurious wake-ups; the time left is recomputed each time.
std::uint32_t WaitForEvents(void* const* events, std::uint32_t count, std::uint32_t milliseconds,
                            bool wakeOnMessages = false);

// Process-wide: before a wait goes to sleep in the kernel it re-checks the events'
// state words this many times (with a processor pause between checks). 0, the
// default, sleeps at once; a short spin can save a wake-up when another thread is
// about to set the event.
void SetWaitSpinIterations(std::uint32_t iterations);
std::uint32_t GetWaitSpinIterations();

// Process-wide: a thread that waits for a socket (a caller's dispatch thread, a
// thread waiting for its call's return) first polls it without sleeping for up to
// this many microseconds, where it pays: only while the thread may run on two or
// more processors, fewer threads spin than there are processors beside one, and the
// thread's recent spins were answered in time. 20 by default; 0 never spins.
void SetSocketSpinMicroseconds(std::uint32_t microseconds);
std::uint32_t GetSocketSpinMicroseconds();

}  // namespace talvex
