// The mem signals: a manual-reset event named "sig%08x" of the key, shared by the
// processes of the effective user; set, reset and waited on through the event handle
// functions.
#include "talvex05u/shmem/MemPrimitives.h"

#include "platform/NamedObjects.h"

#include <cstdio>

namespace {

std::string SignalName(int key) {
    char name[16];
    std::snprintf(name, sizeof name, "sig%08x", static_cast<unsigned>(key));
    return talvex::NamedObjectPath(name);
}

// The handle of a signal is its event object, so the event functions accept it.
void* AsHandle(talvex::NamedEvent* event) {
    return static_cast<talvex::detail::EventObject*>(event);
}

int StoreSignal(talvex::NamedEvent* event, void** handle) {
    if (handle != nullptr) *handle = AsHandle(event);
    if (event == nullptr) return -1;
    if (handle == nullptr) {
        delete event;
        return -1;
    }
    return 0;
}

}  // namespace

int memSignalCreate(int key, void** handle) {
    // No security descriptor is needed here, so the -2 of a failed allocation never occurs;
    // the object is reachable by its own user only (see NamedObjects.h).
    return StoreSignal(talvex::NamedEvent::Create(SignalName(key)), handle);
}

int memSignalOpen(int key, void** handle) {
    return StoreSignal(talvex::NamedEvent::Open(SignalName(key)), handle);
}

void memSignalDestroy(void* handle) {
    delete talvex::detail::AsEventObject(handle);
}
