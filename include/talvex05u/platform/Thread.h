#pragma once
// CWinThread: the library's thread object. It owns one running thread; its
// m_nThreadID is the kernel thread id (gettid), the identifier other processes
// post thread messages to. Destroying the object joins the thread, so a handle
// stays valid for as long as anybody waits on it.
#include <cstdint>
#include <memory>

namespace talvex {
// The start routine of a thread: gets the parameter given to BeginThread, returns the exit code.
using ThreadRoutine = std::uint32_t (*)(void* parameter);
// Thread priorities relative to the process: 0 normal, -1 one step below normal.
constexpr int kPriorityNormal = 0;
constexpr int kPriorityBelowNormal = -1;
// What ExitCode answers while the routine still runs.
constexpr std::uint32_t kStillActive = 259;
}  // namespace talvex

class CWinThread {
public:
    ~CWinThread();                              // joins the thread if still running
    CWinThread(const CWinThread&) = delete;
    CWinThread& operator=(const CWinThread&) = delete;

    std::uint32_t m_nThreadID = 0;              // kernel thread id, valid once the thread runs

    bool HasEnded() const;                      // true once the routine has returned
    bool Join();                                // waits for the end; false when called on itself
    bool WaitFor(std::uint32_t milliseconds);   // true when the thread ended within the time
    std::uint32_t ExitCode() const;             // the routine's result once ended

    struct State;
private:
    friend CWinThread* BeginThreadImpl(talvex::ThreadRoutine, void*, int);
    CWinThread() = default;
    std::shared_ptr<State> m_state;
};

namespace talvex {
// Starts `routine(parameter)` on a new thread, running at once. The returned object
// is owned by the caller; delete it (which joins) when the thread is no longer needed.
// Returns nullptr when no thread could be started.
CWinThread* BeginThread(ThreadRoutine routine, void* parameter, int priority = kPriorityNormal);
// Kernel thread id of the calling thread (gettid, remembered per thread; a forked
// child's thread gets its own id).
std::uint32_t GetCurrentThreadId();
}  // namespace talvex
