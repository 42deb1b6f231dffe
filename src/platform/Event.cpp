// The event handle functions and the wait on several events (and the calling
// thread's message queue) with poll.
#include "talvex05u/platform/Event.h"

#include "Deadline.h"
#include "EventObject.h"
#include "EventWait.h"
#include "MessageQueueDetail.h"
#include "SpinningPoll.h"
#include "UnnamedEvent.h"
#include "WakeLink.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <poll.h>

namespace talvex {

namespace {

using detail::Deadline;
using detail::EventObject;

std::atomic<std::uint32_t> g_spinIterations{0};

// Longest sleep between checks of events that offer no poll descriptor.
constexpr int kUnpollableSliceMs = 1;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Index of the first event that is set and could be taken; -1 when none.
int TakeFirstSignalled(EventObject* const* objects, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (objects[i]->TryTake()) return static_cast<int>(i);
    }
    return -1;
}

bool AnySignalled(EventObject* const* objects, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (objects[i]->IsSet()) return true;
    }
    return false;
}

// Re-checks the state words for the configured number of iterations; true as
// soon as one of the events is set.
bool SpinUntilAnySignalled(EventObject* const* objects, std::uint32_t count) {
    const std::uint32_t iterations = g_spinIterations.load(std::memory_order_relaxed);
    for (std::uint32_t i = 0; i < iterations; ++i) {
        if (AnySignalled(objects, count)) return true;
        CpuRelax();
    }
    return false;
}

int SliceForUnpollable(int timeout) {
    return (timeout < 0 || timeout > kUnpollableSliceMs) ? kUnpollableSliceMs : timeout;
}

}  // namespace

void SetWaitSpinIterations(std::uint32_t iterations) { g_spinIterations.store(iterations, std::memory_order_relaxed); }
std::uint32_t GetWaitSpinIterations() { return g_spinIterations.load(std::memory_order_relaxed); }

void* CreateEvent(bool manualReset, bool initiallySet) {
    auto event = detail::UnnamedEvent::Create(manualReset, initiallySet);
    return event ? static_cast<void*>(static_cast<EventObject*>(event.release())) : nullptr;
}

bool SetEvent(void* event) { return event != nullptr && detail::AsEventObject(event)->Set(); }

bool ResetEvent(void* event) { return event != nullptr && detail::AsEventObject(event)->Reset(); }

void CloseEvent(void* event) { delete detail::AsEventObject(event); }

bool IsEventSet(void* event) { return event != nullptr && detail::AsEventObject(event)->IsSet(); }

LinkResult LinkWakeToEvent(void* event, const WakeLink* link) {
    return event != nullptr && link != nullptr ? detail::AsEventObject(event)->LinkWake(link)
                                               : LinkResult::kNotLinkable;
}

void UnlinkWake(void* event) {
    if (event != nullptr) detail::AsEventObject(event)->UnlinkWake();
}

std::uint32_t WaitForEvent(void* event, std::uint32_t milliseconds) {
    if (event == nullptr) return kWaitFailed;
    return detail::AsEventObject(event)->Wait(milliseconds);
}

namespace {

// The wait behind WaitForEvents and WaitForEventsOrReadable: `descriptor` (-1: none)
// wakes it too, after the events and the message queue.
std::uint32_t WaitForAny(void* const* events, std::uint32_t count, std::uint32_t milliseconds, bool wakeOnMessages,
                         int descriptor, bool spinOnDescriptor) {
    if (count > kMaximumWaitObjects || (count > 0 && events == nullptr)) return kWaitFailed;

    // Only the first count (+1 for the queue, +1 for the descriptor) entries are filled and used.
    std::array<EventObject*, kMaximumWaitObjects> objects;
    std::array<pollfd, kMaximumWaitObjects + 2> fds;
    bool allPollable = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (events[i] == nullptr) return kWaitFailed;
        objects[i] = detail::AsEventObject(events[i]);
        fds[i].fd = objects[i]->PollDescriptor();   // poll() skips negative descriptors
        fds[i].events = POLLIN;
        if (fds[i].fd < 0) allPollable = false;
    }

    const Deadline deadline(milliseconds);
    bool spun = false;
    bool readable = false;
    for (;;) {
        const int taken = TakeFirstSignalled(objects.data(), count);
        if (taken >= 0) return kWaitObject0 + static_cast<std::uint32_t>(taken);
        if (wakeOnMessages && detail::HasQueuedMessage()) return kWaitObject0 + count;
        if (readable) return kWaitObject0 + count;
        if (deadline.Expired() || milliseconds == 0) return kWaitTimeout;
        if (!spun) {
            spun = true;
            if (SpinUntilAnySignalled(objects.data(), count)) continue;
        }

        nfds_t used = count;
        if (wakeOnMessages) {
            const int queue = detail::CurrentMessageQueueDescriptor();
            if (queue >= 0) fds[used++] = pollfd{queue, POLLIN, 0};
        }
        const nfds_t descriptorSlot = used;
        if (descriptor >= 0) fds[used++] = pollfd{descriptor, POLLIN, 0};
        int timeout = deadline.PollTimeout();
        if (!allPollable) timeout = SliceForUnpollable(timeout);
        for (nfds_t i = 0; i < used; ++i) fds[i].revents = 0;

        // A wait that includes a socket may spin first (it pays only there: an event
        // set by another thread is seen by the state-word spin above).
        const int ready =
            descriptor >= 0 && spinOnDescriptor ? SpinningPoll(fds.data(), used, timeout) : ::poll(fds.data(), used, timeout);
        if (ready < 0 && errno != EINTR && errno != EAGAIN) return kWaitFailed;
        for (nfds_t i = 0; ready > 0 && i < descriptorSlot; ++i) {
            if (fds[i].revents & POLLNVAL) return kWaitFailed;   // a handle was closed under the wait
        }
        // The descriptor may be closed by its owner while we wait: that ends the wait
        // like readability does, and the caller finds out what happened.
        readable = descriptor >= 0 && fds[descriptorSlot].revents != 0;
        // Whatever woke us (an event, a message, the descriptor, the time, a signal),
        // the next pass decides from the state words and the remaining time.
    }
}

}  // namespace

std::uint32_t WaitForEvents(void* const* events, std::uint32_t count, std::uint32_t milliseconds,
                            bool wakeOnMessages) {
    return WaitForAny(events, count, milliseconds, wakeOnMessages, -1, false);
}

std::uint32_t WaitForEventsOrReadable(void* const* events, std::uint32_t count, int descriptor,
                                      std::uint32_t milliseconds, bool spin) {
    return WaitForAny(events, count, milliseconds, false, descriptor, spin);
}

}  // namespace talvex
