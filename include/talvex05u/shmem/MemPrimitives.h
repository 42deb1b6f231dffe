#pragma once
// Named locks, signals and mapped file regions that two processes of one computer
// share by agreeing on an integer key (and a file path), plus a millisecond clock.
// Failures are reported by the result value; nothing here throws.
#include <cstdint>

struct mappedRegionS {
    char* address;         // start of the mapped view; nullptr until mapped
    std::int32_t length;   // size of the region in bytes
};

// Locks: a semaphore named "sem%08x" of the key, count at most 1.
int memLockCreate(int key, void** handle);   // 0 / -1
int memLockOpen(int key, void** handle);     // 0 / -1
void memLockDestroy(void* handle);
int memLock(void* handle);                   // 0 when taken, 1 when the wait failed
int memUnlock(void* handle);                 // 0, or 1 when the lock was not taken

// Signals: a manual-reset event named "sig%08x" of the key; set, reset and wait on it
// with talvex::SetEvent, talvex::ResetEvent and talvex::WaitForEvent.
int memSignalCreate(int key, void** handle); // 0 / -1 / -2
int memSignalOpen(int key, void** handle);   // 0 / -1
void memSignalDestroy(void* handle);

// Mapped regions of a file on disk, shared under the mapping name "%d" of the key.
int memmap(const wchar_t* path, int key, int size, mappedRegionS** region);  // 0 / -1 / -2 / -3
void memunmap(mappedRegionS** region);
char* memGetAddr(mappedRegionS** region);
int memGetLength(mappedRegionS** region);

// Millisecond clock.
int memtimeGet(double* milliseconds);        // 1 on success, 0 when the clock is not ready
double memtimeTickCount();
void memtimeWait(double milliseconds);

namespace talvex {
// Removes the named locks and signals that no live process holds any more (left in
// /dev/shm when every holder crashed). Returns how many were removed.
int RemoveOrphanedNamedObjects();
}  // namespace talvex
