// The adaptive spin before a poll that would sleep: a process-wide spin time and count
// of spinning threads, and per thread the processors it may use and its recent luck.
#include "platform/SpinningPoll.h"

#include "talvex05u/platform/Event.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <sched.h>

namespace talvex {

namespace {

constexpr std::uint32_t kDefaultSpinMicroseconds = 20;
// After this many unanswered spins in a row a thread skips 2^kLongestBackOff - 1 waits.
constexpr int kLongestBackOff = 6;

std::atomic<std::uint32_t> g_spinMicroseconds{kDefaultSpinMicroseconds};
std::atomic<int> g_spinning{0};

int ProcessorsOfThisThread() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return CPU_COUNT(&set);
}

// What one thread knows of its spins.
struct SpinHistory {
    int processors = 0;    // 0: not looked up yet
    int unanswered = 0;    // unanswered spins in a row
    int waitsToSkip = 0;
};
thread_local SpinHistory t_history;

// A place among the process's spinning threads, held for one spin.
class SpinPlace {
public:
    explicit SpinPlace(int limit) {
        int now = g_spinning.load(std::memory_order_relaxed);
        while (now < limit && !g_spinning.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) {
        }
        m_held = now < limit;
    }
    ~SpinPlace() {
        if (m_held) g_spinning.fetch_sub(1, std::memory_order_relaxed);
    }
    SpinPlace(const SpinPlace&) = delete;
    SpinPlace& operator=(const SpinPlace&) = delete;
    bool Held() const { return m_held; }

private:
    bool m_held = false;
};

// Polls without sleeping until something is ready or `microseconds` have passed; what
// poll returned last (0: nothing became ready).
int Spin(pollfd* fds, nfds_t count, std::uint32_t microseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(microseconds);
    int ready = 0;
    for (;;) {
        ready = ::poll(fds, count, 0);
        if (ready != 0 || Clock::now() >= end) break;
        ::sched_yield();   // a thread that is ready to run on this processor goes first
    }
    return ready;
}

void NoteSpin(SpinHistory& history, bool answered) {
    if (answered) {
        history.unanswered = 0;
        return;
    }
    history.unanswered = std::min(history.unanswered + 1, kLongestBackOff);
    history.waitsToSkip = (1 << history.unanswered) - 1;
}

}  // namespace

void SetSocketSpinMicroseconds(std::uint32_t microseconds) {
    g_spinMicroseconds.store(microseconds, std::memory_order_relaxed);
}

std::uint32_t GetSocketSpinMicroseconds() { return g_spinMicroseconds.load(std::memory_order_relaxed); }

int SpinBeforeSleeping(pollfd* fds, nfds_t count) {
    const std::uint32_t microseconds = g_spinMicroseconds.load(std::memory_order_relaxed);
    SpinHistory& history = t_history;
    if (microseconds == 0) return 0;
    if (history.waitsToSkip > 0) {
        --history.waitsToSkip;
        return 0;
    }
    if (history.processors == 0) history.processors = ProcessorsOfThisThread();
    // With one processor the other side cannot answer while this thread spins.
    const SpinPlace place(history.processors > 1 ? history.processors : 0);
    if (!place.Held()) return 0;
    const int ready = Spin(fds, count, microseconds);
    NoteSpin(history, ready != 0);
    return ready;
}

int SpinningPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    const int ready = timeoutMs != 0 ? SpinBeforeSleeping(fds, count) : 0;
    return ready != 0 ? ready : ::poll(fds, count, timeoutMs);
}

}  // namespace talvex
