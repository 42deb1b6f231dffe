#pragma once
// Clock, sleep and computer name.
#include "talvex05u/platform/CString.h"
#include <cstdint>

namespace talvex {
// Milliseconds since an arbitrary start; wraps after about 49.7 days like the original tick count.
std::uint32_t GetTickCount();
// Puts the calling thread to sleep for the given milliseconds.
void Sleep(std::uint32_t milliseconds);
// This computer's host name as a wide string (at most 127 characters).
CString GetComputerName();
}  // namespace talvex
