#pragma once
// Process-shared named objects: a semaphore of count at most 1 (the mem locks) and a
// manual-reset event (the mem signals), kept in POSIX shared memory under
// "/talvex05u.<euid>.<name>". An object lives while any process holds a handle to it
// and is removed with the last close, whoever created it.
//
// Ownership: objects are created 0600 and carry the effective user id in their name,
// so two users who pick the same key never meet; an object found under the name is
// used only when its descriptor shows it is ours (see OwnObject.h), since any user
// can create names in /dev/shm.
//
// Lifetime: every handle holds a shared flock on its own descriptor of the object.
// Closing drops it and tries an exclusive, non-blocking flock: only when that
// succeeds (nobody else holds the object) is the name unlinked. The kernel drops the
// flocks of a process that dies, so a crashed holder never keeps an object alive for
// the survivors; only when every holder died does the object stay in /dev/shm, where
// RemoveOrphanedNamedObjects (or rm /dev/shm/talvex05u.*) clears it.
//
// Waiting is a futex on a word of the shared object (not process-private), so the
// objects work between processes without a helper thread.
#include "platform/EventObject.h"
#include "talvex05u/platform/Event.h"
#include <cstdint>
#include <memory>
#include <string>

namespace talvex {

// The shared bytes of one named object; all zero is its initial state (lock free,
// event not set), so an object is usable as soon as its file has its size.
struct NamedObjectWords {
    std::uint32_t state;     // lock: 0 free, 1 taken, 2 taken with waiters; event: 0 / 1
    std::uint32_t waiters;   // event: threads inside a wait (lets Set skip the wake call)
    std::uint32_t reserved[2];
};

// One open descriptor of a named shared object, mapped, with its shared flock held.
class NamedSharedObject {
public:
    // Creates the object if absent (createIfMissing) or opens an existing one.
    // nullptr when the name cannot be created, (for open) does not exist, or holds an
    // object that is not the effective user's own (reported to the diagnostic sink).
    static std::unique_ptr<NamedSharedObject> Acquire(const std::string& name, bool createIfMissing);
    ~NamedSharedObject();   // unmaps, and removes the name when this was the last holder
    NamedSharedObject(const NamedSharedObject&) = delete;
    NamedSharedObject& operator=(const NamedSharedObject&) = delete;

    NamedObjectWords* Words() const { return m_words; }

private:
    NamedSharedObject(std::string name, int descriptor, NamedObjectWords* words);
    std::string m_name;
    int m_descriptor;
    NamedObjectWords* m_words;
};

// A named semaphore whose count is 0 or 1. Not a mutex: any thread or process may
// release it; it is not recursive.
class NamedSemaphore {
public:
    static NamedSemaphore* Create(const std::string& name);   // creates or joins; nullptr on failure
    static NamedSemaphore* Open(const std::string& name);     // nullptr when absent
    // Waits at most `milliseconds` (kInfinite: without limit); false when the time
    // passed or the wait failed.
    bool Acquire(std::uint32_t milliseconds = kInfinite);
    bool Release();       // false when the count is already 1 (nobody holds it)

private:
    explicit NamedSemaphore(std::unique_ptr<NamedSharedObject> object) : m_object(std::move(object)) {}
    std::unique_ptr<NamedSharedObject> m_object;
};

// A named manual-reset event, usable through the event handle functions
// (SetEvent, ResetEvent, WaitForEvent, CloseEvent).
class NamedEvent final : public detail::EventObject {
public:
    static NamedEvent* Create(const std::string& name);   // creates or joins; nullptr on failure
    static NamedEvent* Open(const std::string& name);     // nullptr when absent
    bool Set() override;
    bool Reset() override;
    bool IsSet() const override;
    std::uint32_t Wait(std::uint32_t milliseconds) override;

private:
    explicit NamedEvent(std::unique_ptr<NamedSharedObject> object) : m_object(std::move(object)) {}
    std::unique_ptr<NamedSharedObject> m_object;
};

// Shared-memory name of a mem object: "/talvex05u.<euid>." followed by the object's own name.
std::string NamedObjectPath(const std::string& objectName);

// Removes the effective user's named objects that no live process holds (left behind
// when every holder crashed). Returns how many were removed.
int RemoveOrphanedNamedObjects();

}  // namespace talvex
