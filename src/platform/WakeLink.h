#pragma once
// A wake-up tied to an event for as long as a thread sleeps somewhere the event cannot
// reach (in a blocking receive on a socket, say): setting the event then also runs the
// link's function, which must end that sleep. Linking and setting are ordered by the
// event's own lock, so a set either comes before the link (and the link says so) or
// runs the function.
namespace talvex {

struct WakeLink {
    void (*wake)(void* context) = nullptr;
    void* context = nullptr;
};

enum class LinkResult { kLinked, kAlreadySet, kNotLinkable };

// Links `link` to `event` (an unnamed event of this process) until UnlinkWake. Nothing
// is linked when the event is set already, or of a kind that cannot be linked.
LinkResult LinkWakeToEvent(void* event, const WakeLink* link);
// After it returns, the link's function no longer runs for this event.
void UnlinkWake(void* event);

}  // namespace talvex
