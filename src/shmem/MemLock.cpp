// The mem locks: a semaphore of count at most 1 named "sem%08x" of the key, shared
// by the processes of the effective user that use the same key.
#include "talvex05u/shmem/MemPrimitives.h"

#include "shmem/MemLockWithin.h"

#include "platform/NamedObjects.h"

#include <cstdio>

namespace {

std::string LockName(int key) {
    char name[16];
    std::snprintf(name, sizeof name, "sem%08x", static_cast<unsigned>(key));
    return talvex::NamedObjectPath(name);
}

int StoreLock(talvex::NamedSemaphore* lock, void** handle) {
    if (handle != nullptr) *handle = lock;
    if (lock == nullptr) return -1;
    if (handle == nullptr) {   // nowhere to hand it to: do not leak it
        delete lock;
        return -1;
    }
    return 0;
}

}  // namespace

int memLockCreate(int key, void** handle) {
    return StoreLock(talvex::NamedSemaphore::Create(LockName(key)), handle);
}

int memLockOpen(int key, void** handle) {
    return StoreLock(talvex::NamedSemaphore::Open(LockName(key)), handle);
}

void memLockDestroy(void* handle) {
    delete static_cast<talvex::NamedSemaphore*>(handle);
}

int memLock(void* handle) {
    if (handle == nullptr) return 1;
    return static_cast<talvex::NamedSemaphore*>(handle)->Acquire() ? 0 : 1;
}

int memUnlock(void* handle) {
    if (handle == nullptr) return 1;
    return static_cast<talvex::NamedSemaphore*>(handle)->Release() ? 0 : 1;
}

int talvex::memLockWithin(void* handle, std::uint32_t milliseconds) {
    if (handle == nullptr) return 1;
    return static_cast<talvex::NamedSemaphore*>(handle)->Acquire(milliseconds) ? 0 : 1;
}
