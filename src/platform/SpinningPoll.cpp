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

// A place among the process's spinning threads; one is given back by the spin that holds it.
bool TakeSpinPlace(int limit) {
    int now = g_spinning.load(std::memory_order_relaxed);
    while (now < limit && !g_spinning.compare_exchange_weak(now, now + 1, std::memory_order_relaxed)) {
    }
    return now < limit;
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

SocketSpin::SocketSpin() {
    const std::uint32_t microseconds = g_spinMicroseconds.load(std::memory_order_relaxed);
    if (microseconds == 0) return;
    SpinHistory& history = t_history;
    if (history.waitsToSkip > 0) {
        --history.waitsToSkip;
        return;
    }
    if (history.processors == 0) history.processors = ProcessorsOfThisThread();
    // With one processor the other side cannot answer while this thread spins.
    if (history.processors < 2 || !TakeSpinPlace(history.processors)) return;
    m_spinning = true;
    m_end = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
}

SocketSpin::~SocketSpin() {
    if (!m_spinning) return;
    g_spinning.fetch_sub(1, std::memory_order_relaxed);
    NoteSpin(t_history, m_answered);
}

bool SocketSpin::Again() {
    if (!m_spinning || m_answered) return false;
    if (!m_looked) {
        m_looked = true;
        return true;
    }
    if (std::chrono::steady_clock::now() >= m_end) return false;
    ::sched_yield();   // a thread that is ready to run on this processor goes first
    return true;
}

namespace {
// The spin alone with poll as its look: what poll returned last, 0 when nothing became
// ready or the thread did not spin.
int SpinBeforeSleeping(pollfd* fds, nfds_t count) {
    SocketSpin spin;
    int ready = 0;
    while (ready == 0 && spin.Again()) {
        ready = ::poll(fds, count, 0);
        if (ready != 0) spin.Answered();
    }
    return ready;
}
}  // namespace

int SpinningPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    const int ready = timeoutMs != 0 ? SpinBeforeSleeping(fds, count) : 0;
    return ready != 0 ? ready : ::poll(fds, count, timeoutMs);
}

}  // namespace talvex
