#pragma once
// The object behind every event handle (void*): unnamed events over eventfd and
// the process-shared named signals both implement it, so SetEvent, ResetEvent and
// WaitForEvent work on either kind.
#include "WakeLink.h"

#include <cstdint>

namespace talvex::detail {

class EventObject {
public:
    virtual ~EventObject() = default;
    virtual bool Set() = 0;
    virtual bool Reset() = 0;
    virtual bool IsSet() const = 0;
    // Waits until set (an automatic-reset event is taken and reset); returns
    // kWaitObject0, kWaitTimeout or kWaitFailed.
    virtual std::uint32_t Wait(std::uint32_t milliseconds) = 0;
    // Descriptor that poll() reports readable while the event is set, for waits on
    // several events at once; -1 when the event cannot take part in such waits.
    virtual int PollDescriptor() const { return -1; }
    // Takes the event after poll() reported it (resets an automatic-reset event);
    // false when another waiter took it first.
    virtual bool TryTake() { return IsSet(); }
    // See WakeLink.h; events that cannot be linked say so.
    virtual LinkResult LinkWake(const WakeLink*) { return LinkResult::kNotLinkable; }
    virtual void UnlinkWake() {}
};

inline EventObject* AsEventObject(void* handle) { return static_cast<EventObject*>(handle); }

}  // namespace talvex::detail
