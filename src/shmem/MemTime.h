#pragma once
// The library's side of the millisecond clock.

namespace talvex {
// Makes the clock ready; run by the library at load. 1 when the clock is usable.
int memtimeInit();
}  // namespace talvex
