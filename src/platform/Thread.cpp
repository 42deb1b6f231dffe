// CWinThread and BeginThread: a std::thread with a shared end state, so that the
// thread id, the end and the exit code can be read from any thread for as long as
// the owner keeps the object.
#include "talvex05u/platform/Thread.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>

struct CWinThread::State {
    talvex::ThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    int priority = talvex::kPriorityNormal;

    std::mutex mutex;                   // guards the fields below
    std::condition_variable changed;    // started or ended
    bool started = false;
    bool ended = false;
    std::uint32_t threadId = 0;
    std::uint32_t exitCode = talvex::kStillActive;

    std::mutex joinMutex;               // guards `thread` (join / detach once)
    std::thread thread;
};

namespace {

// Makes the thread's nice value differ from the process's by -priority
// (one step below normal = nice + 1). Failures (no permission) are ignored.
void ApplyPriority(std::uint32_t threadId, int priority) {
    if (priority == talvex::kPriorityNormal) return;
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, threadId);
    if (current == -1 && errno != 0) return;
    (void)::setpriority(PRIO_PROCESS, threadId, current - priority);
}

void RunThread(const std::shared_ptr<CWinThread::State>& state) {
    const std::uint32_t threadId = talvex::GetCurrentThreadId();
    ApplyPriority(threadId, state->priority);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->threadId = threadId;
        state->started = true;
    }
    state->changed.notify_all();

    const std::uint32_t code = state->routine(state->parameter);
    // Once the thread counts as ended, posts to it must fail.
    talvex::CloseMessageQueue();

    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->exitCode = code;
        state->ended = true;
    }
    state->changed.notify_all();
}

// The calling thread's kernel id, read once per thread. fork() gives the forking
// thread a new id in the child, so the child forgets the remembered one.
thread_local std::uint32_t t_threadId = 0;

void ForgetThreadIdInChild() { t_threadId = 0; }

void RegisterForkHandler() {
    static const int registered = ::pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);
    (void)registered;
}

bool IsCallingThread(const CWinThread::State& state) {
    return state.threadId == talvex::GetCurrentThreadId();   // threadId is fixed once BeginThread returned
}

}  // namespace

CWinThread* BeginThreadImpl(talvex::ThreadRoutine routine, void* parameter, int priority) {
    if (routine == nullptr) return nullptr;
    std::unique_ptr<CWinThread> object(new CWinThread());
    auto state = std::make_shared<CWinThread::State>();
    state->routine = routine;
    state->parameter = parameter;
    state->priority = priority;
    {
        std::lock_guard<std::mutex> lock(state->joinMutex);
        try {
            state->thread = std::thread([state] { RunThread(state); });
        } catch (const std::system_error&) {
            return nullptr;
        }
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->changed.wait(lock, [&] { return state->started; });
    object->m_nThreadID = state->threadId;
    lock.unlock();
    object->m_state = std::move(state);
    return object.release();
}

CWinThread::~CWinThread() {
    if (!m_state) return;
    if (IsCallingThread(*m_state)) {
        std::lock_guard<std::mutex> lock(m_state->joinMutex);
        if (m_state->thread.joinable()) m_state->thread.detach();
        return;
    }
    Join();
}

bool CWinThread::HasEnded() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->ended;
}

bool CWinThread::Join() {
    if (IsCallingThread(*m_state)) return false;
    std::lock_guard<std::mutex> lock(m_state->joinMutex);
    if (m_state->thread.joinable()) m_state->thread.join();
    return true;
}

bool CWinThread::WaitFor(std::uint32_t milliseconds) {
    if (IsCallingThread(*m_state)) return HasEnded();
    std::unique_lock<std::mutex> lock(m_state->mutex);
    const auto ended = [this] { return m_state->ended; };
    if (milliseconds == talvex::kInfinite) {
        m_state->changed.wait(lock, ended);
        return true;
    }
    return m_state->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended);
}

std::uint32_t CWinThread::ExitCode() const {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->ended ? m_state->exitCode : talvex::kStillActive;
}

namespace talvex {

CWinThread* BeginThread(ThreadRoutine routine, void* parameter, int priority) {
    return BeginThreadImpl(routine, parameter, priority);
}

std::uint32_t GetCurrentThreadId() {
    if (t_threadId == 0) {
        RegisterForkHandler();   // before the first id is remembered
        t_threadId = static_cast<std::uint32_t>(::gettid());
    }
    return t_threadId;
}

}  // namespace talvex
