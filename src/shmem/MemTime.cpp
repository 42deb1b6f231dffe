// The millisecond clock of the mem functions: CLOCK_MONOTONIC read as a counter of
// nanoseconds, whose "frequency" (counts per second) is read once when the library loads.
#include "talvex05u/shmem/MemPrimitives.h"
#include "shmem/MemTime.h"

#include <atomic>
#include <ctime>
#include <sched.h>

namespace {

constexpr std::int64_t kFrequencyUnread = -1;
constexpr std::int64_t kNanosecondsPerSecond = 1000000000;

// Counts per second of the clock; -1 until talvex::memtimeInit has read it.
constinit std::atomic<std::int64_t> g_frequency{kFrequencyUnread};

bool ReadFrequency(std::int64_t* frequency) {
    struct timespec resolution {};
    if (::clock_getres(CLOCK_MONOTONIC, &resolution) != 0) return false;
    *frequency = kNanosecondsPerSecond;
    return true;
}

bool ReadCounter(std::int64_t* counter) {
    struct timespec now {};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
    *counter = static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
    return true;
}

}  // namespace

namespace talvex {

int memtimeInit() {
    if (g_frequency.load(std::memory_order_acquire) == kFrequencyUnread) {
        std::int64_t frequency = kFrequencyUnread;
        if (!ReadFrequency(&frequency)) frequency = kFrequencyUnread;   // a later call tries again
        g_frequency.store(frequency, std::memory_order_release);
    }
    return g_frequency.load(std::memory_order_acquire) > 0 ? 1 : 0;
}

}  // namespace talvex

int memtimeGet(double* milliseconds) {
    const std::int64_t frequency = g_frequency.load(std::memory_order_acquire);
    if (frequency <= 0 || milliseconds == nullptr) return 0;
    std::int64_t counter = 0;
    if (!ReadCounter(&counter)) return 0;
    *milliseconds = static_cast<double>(counter) / static_cast<double>(frequency) * 1000.0;
    return 1;
}

double memtimeTickCount() {
    double milliseconds = 0.0;   // stays 0 when the clock is not usable
    memtimeGet(&milliseconds);
    return milliseconds;
}

void memtimeWait(double milliseconds) {
    double start = 0.0;
    double current = 0.0;
    // Without a usable clock the wait could never end: it returns at once instead.
    if (memtimeGet(&start) == 0 || memtimeGet(&current) == 0) return;
    while (current - start < milliseconds) {
        sched_yield();   // still a busy wait, but lets the other core's work run
        if (memtimeGet(&current) == 0) return;
    }
}
