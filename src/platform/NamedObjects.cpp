// Named semaphore and manual-reset event in POSIX shared memory, reference counted
// by flocks (see NamedObjects.h for the lifetime rules).
#include "platform/NamedObjects.h"

#include "talvex05u/platform/Event.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/OwnObject.h"
#include "platform/OwnedDescriptor.h"

namespace talvex {
namespace {

constexpr const char* kObjectPrefix = "talvex05u.";
constexpr mode_t kOwnerOnly = 0600;
constexpr off_t kObjectBytes = sizeof(NamedObjectWords);
// A name can be unlinked by its last closer between our open and our flock; then we
// open again. More rounds than this mean something else keeps removing the name.
constexpr int kMaxAcquireRounds = 100;

using FileDescriptor = detail::OwnedDescriptor;

int RetryOnInterrupt(int (*call)(int, int), int fd, int operation) {
    int result;
    do {
        result = call(fd, operation);
    } while (result == -1 && errno == EINTR);
    return result;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Unlinks `name` if it still names the file behind `fd` (a newer object of the same
// name, made after ours was unlinked, must survive).
bool UnlinkIfStillNamed(const std::string& name, int fd) {
    struct stat mine {};
    if (::fstat(fd, &mine) != 0 || mine.st_nlink == 0) return false;
    FileDescriptor current(::shm_open(name.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!current.Valid()) return false;
    struct stat named {};
    if (::fstat(current.Get(), &named) != 0 || !SameFile(mine, named)) return false;
    return ::shm_unlink(name.c_str()) == 0;
}

long Futex(std::uint32_t* word, int operation, std::uint32_t value, const struct timespec* timeout) {
    return ::syscall(SYS_futex, word, operation, value, timeout, nullptr, 0);
}

// Sleeps while *word == expected (process-shared futex); a timeout of nullptr waits forever.
// False only on an unexpected failure (EAGAIN, EINTR and ETIMEDOUT are normal returns).
bool FutexWait(std::uint32_t* word, std::uint32_t expected, const struct timespec* timeout) {
    if (Futex(word, FUTEX_WAIT, expected, timeout) == 0) return true;
    return errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT;
}

void FutexWake(std::uint32_t* word, int count) {
    Futex(word, FUTEX_WAKE, static_cast<std::uint32_t>(count), nullptr);
}

std::int64_t MonotonicNanoseconds() {
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The time until `deadline` (monotonic nanoseconds) as a relative futex time-out;
// false once it has passed.
bool TimeLeft(std::int64_t deadline, struct timespec* remaining) {
    const std::int64_t left = deadline - MonotonicNanoseconds();
    if (left <= 0) return false;
    remaining->tv_sec = static_cast<time_t>(left / 1000000000);
    remaining->tv_nsec = static_cast<long>(left % 1000000000);
    return true;
}

// "talvex05u.<euid>.": the start of every object name of the effective user.
std::string OwnPrefix() { return kObjectPrefix + EffectiveUserTag() + "."; }

}  // namespace

std::string NamedObjectPath(const std::string& objectName) { return "/" + OwnPrefix() + objectName; }

// ---- NamedSharedObject --------------------------------------------------------

NamedSharedObject::NamedSharedObject(std::string name, int descriptor, NamedObjectWords* words)
    : m_name(std::move(name)), m_descriptor(descriptor), m_words(words) {}

std::unique_ptr<NamedSharedObject> NamedSharedObject::Acquire(const std::string& name, bool createIfMissing) {
    const int flags = O_RDWR | O_CLOEXEC | (createIfMissing ? O_CREAT : 0);
    for (int round = 0; round < kMaxAcquireRounds; ++round) {
        FileDescriptor fd(::shm_open(name.c_str(), flags, kOwnerOnly));
        if (!fd.Valid()) {
            if (errno == EINTR) continue;
            if (errno == EACCES) ReportRefusedObject("named object", "/dev/shm" + name, "not accessible to this user");
            return nullptr;
        }
        // Ours before anything else: a flock on another user's file could block here.
        struct stat info {};
        if (::fstat(fd.Get(), &info) != 0) return nullptr;
        std::string why;
        if (info.st_nlink != 0 && !IsOwnPrivateFile(fd.Get(), &why)) {
            ReportRefusedObject("named object", "/dev/shm" + name, why);
            return nullptr;
        }
        // Holding the shared flock is what keeps the object alive for us.
        if (RetryOnInterrupt(::flock, fd.Get(), LOCK_SH) != 0) return nullptr;
        if (::fstat(fd.Get(), &info) != 0) return nullptr;
        if (info.st_nlink == 0) continue;   // its last holder removed it meanwhile: start again
        if (info.st_size == 0 && createIfMissing) {
            // Zero bytes are the initial state, so concurrent creators may all do this.
            if (::ftruncate(fd.Get(), kObjectBytes) != 0) return nullptr;
        } else if (info.st_size != kObjectBytes) {
            return nullptr;   // not created yet (size 0) or not one of ours
        }
        void* view = ::mmap(nullptr, kObjectBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0);
        if (view == MAP_FAILED) return nullptr;
        return std::unique_ptr<NamedSharedObject>(
            new NamedSharedObject(name, fd.Release(), static_cast<NamedObjectWords*>(view)));
    }
    return nullptr;
}

NamedSharedObject::~NamedSharedObject() {
    ::munmap(m_words, kObjectBytes);
    // Exclusive succeeds only when no other descriptor (of any process) holds the object.
    if (::flock(m_descriptor, LOCK_EX | LOCK_NB) == 0) UnlinkIfStillNamed(m_name, m_descriptor);
    ::close(m_descriptor);
}

// ---- NamedSemaphore -------------------------------------------------------------
// state: 0 free (count 1), 1 taken, 2 taken and somebody may sleep on it.

NamedSemaphore* NamedSemaphore::Create(const std::string& name) {
    auto object = NamedSharedObject::Acquire(name, true);
    return object ? new NamedSemaphore(std::move(object)) : nullptr;
}

NamedSemaphore* NamedSemaphore::Open(const std::string& name) {
    auto object = NamedSharedObject::Acquire(name, false);
    return object ? new NamedSemaphore(std::move(object)) : nullptr;
}

bool NamedSemaphore::Acquire(std::uint32_t milliseconds) {
    std::uint32_t* word = &m_object->Words()->state;
    std::atomic_ref<std::uint32_t> state(*word);
    std::uint32_t seen = 0;
    if (state.compare_exchange_strong(seen, 1)) return true;
    if (milliseconds == 0) return false;
    const bool forever = milliseconds == kInfinite;
    const std::int64_t deadline = MonotonicNanoseconds() + static_cast<std::int64_t>(milliseconds) * 1000000;
    if (seen != 2) seen = state.exchange(2);
    while (seen != 0) {
        struct timespec remaining {};
        if (!forever && !TimeLeft(deadline, &remaining)) return false;
        if (!FutexWait(word, 2, forever ? nullptr : &remaining)) return false;
        seen = state.exchange(2);
    }
    return true;
}

bool NamedSemaphore::Release() {
    std::uint32_t* word = &m_object->Words()->state;
    std::atomic_ref<std::uint32_t> state(*word);
    std::uint32_t seen = state.load();
    do {
        if (seen == 0) return false;   // count is 1 already
    } while (!state.compare_exchange_weak(seen, 0));
    if (seen == 2) FutexWake(word, 1);
    return true;
}

// ---- NamedEvent -----------------------------------------------------------------

NamedEvent* NamedEvent::Create(const std::string& name) {
    auto object = NamedSharedObject::Acquire(name, true);
    return object ? new NamedEvent(std::move(object)) : nullptr;
}

NamedEvent* NamedEvent::Open(const std::string& name) {
    auto object = NamedSharedObject::Acquire(name, false);
    return object ? new NamedEvent(std::move(object)) : nullptr;
}

bool NamedEvent::Set() {
    NamedObjectWords* words = m_object->Words();
    const std::uint32_t before = std::atomic_ref<std::uint32_t>(words->state).exchange(1);
    if (before == 0 && std::atomic_ref<std::uint32_t>(words->waiters).load() != 0) {
        FutexWake(&words->state, INT_MAX);
    }
    return true;
}

bool NamedEvent::Reset() {
    std::atomic_ref<std::uint32_t>(m_object->Words()->state).store(0);
    return true;
}

bool NamedEvent::IsSet() const {
    return std::atomic_ref<std::uint32_t>(m_object->Words()->state).load() != 0;
}

std::uint32_t NamedEvent::Wait(std::uint32_t milliseconds) {
    if (IsSet()) return kWaitObject0;
    if (milliseconds == 0) return kWaitTimeout;
    NamedObjectWords* words = m_object->Words();
    std::atomic_ref<std::uint32_t> waiters(words->waiters);
    const bool forever = milliseconds == kInfinite;
    const std::int64_t deadline = MonotonicNanoseconds() + static_cast<std::int64_t>(milliseconds) * 1000000;
    std::uint32_t result = kWaitTimeout;
    waiters.fetch_add(1);
    for (;;) {
        if (IsSet()) {
            result = kWaitObject0;
            break;
        }
        struct timespec remaining {};
        if (!forever && !TimeLeft(deadline, &remaining)) break;
        if (!FutexWait(&words->state, 0, forever ? nullptr : &remaining)) {
            result = kWaitFailed;
            break;
        }
    }
    waiters.fetch_sub(1);
    return result;
}

// ---- cleanup ----------------------------------------------------------------------

int RemoveOrphanedNamedObjects() {
    DIR* directory = ::opendir("/dev/shm");
    if (directory == nullptr) return 0;
    const std::string prefix = OwnPrefix();
    int removed = 0;
    while (const struct dirent* entry = ::readdir(directory)) {
        const std::string file(entry->d_name);
        if (file.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string name = "/" + file;
        FileDescriptor fd(::shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0));
        if (!fd.Valid() || !IsOwnPrivateFile(fd.Get(), nullptr)) continue;
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0 && UnlinkIfStillNamed(name, fd.Get())) ++removed;
    }
    ::closedir(directory);
    return removed;
}

}  // namespace talvex
