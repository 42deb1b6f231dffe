#pragma once
// A bounded take of a mem lock, for the library's own users of the locks (the
// shared-memory channel), which must not wait for good on a lock that another
// process holds. memLock itself keeps its wait without limit.
#include <cstdint>

namespace talvex {

// Takes the lock of a memLockCreate/memLockOpen handle within `milliseconds`.
// 0 when taken; 1 when the time passed, the wait failed or the handle is null.
int memLockWithin(void* handle, std::uint32_t milliseconds);

}  // namespace talvex
