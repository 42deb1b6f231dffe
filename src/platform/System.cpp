// Clock, sleep and computer name over clock_gettime, nanosleep and gethostname.
#include "talvex05u/platform/System.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <string>
#include <unistd.h>

namespace talvex {

namespace {
constexpr std::size_t kMaxComputerNameLength = 127;
}  // namespace

std::uint32_t GetTickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);   // wraps like the original tick count
}

void Sleep(std::uint32_t milliseconds) {
    if (milliseconds == 0) {
        ::sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

CString GetComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return CString();
    std::wstring wide;
    for (const char* c = name; *c != '\0' && wide.size() < kMaxComputerNameLength; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));   // host names are ASCII
    }
    return CString(wide);
}

}  // namespace talvex
