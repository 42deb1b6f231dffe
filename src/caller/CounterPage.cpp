#include "caller/CounterPage.h"

#include "platform/NamedObjects.h"
#include "platform/OwnObject.h"
#include "platform/OwnedDescriptor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex {

namespace {

using FileDescriptor = detail::OwnedDescriptor;

constexpr const char* kPageTag = "counters.";
constexpr int kReadAttempts = 8;   // a page that stays torn this often is given up

// The pid a page's file name ends in, or 0 when the name is no page of ours.
int PidOfPageFile(const std::string& file, const std::string& prefix) {
    if (file.compare(0, prefix.size(), prefix) != 0 || file.size() == prefix.size() ||
        file.size() - prefix.size() > 9) {
        return 0;
    }
    int pid = 0;
    for (std::size_t i = prefix.size(); i < file.size(); ++i) {
        if (file[i] < '0' || file[i] > '9') return 0;
        pid = pid * 10 + (file[i] - '0');
    }
    return pid;
}

// Opens `pid`'s page for reading when it is ours; an invalid descriptor otherwise.
FileDescriptor OpenOwnPage(int pid, std::string* why) {
    FileDescriptor fd(::shm_open(CounterPageName(pid).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd.Valid()) {
        if (why != nullptr) *why = std::strerror(errno);
        return fd;
    }
    if (!IsOwnPrivateFile(fd.Get(), why)) fd.Reset();
    return fd;
}

// The fields a publisher writes once, when it makes the page.
bool IsPageOf(const CounterPageHeader& h, int pid, std::string* why) {
    const char* fault = nullptr;
    if (h.magic != kCounterPageMagic || h.version != kCounterPageVersion) fault = "not a counters page of this version";
    else if (h.counterCount != kCounterCount) fault = "another set of counters";
    else if (h.pid != pid) fault = "page of another process";
    if (fault != nullptr && why != nullptr) *why = fault;
    return fault == nullptr;
}

// The fields of a refresh, read whole.
bool HasSaneCallerCount(const CounterPageHeader& h, std::string* why) {
    const bool sane = h.callerCount <= kCounterPageCallers && h.callerCount <= h.callerTotal;
    if (!sane && why != nullptr) *why = "bad caller count";
    return sane;
}

PublishedProcess Unpacked(const CounterPage& page) {
    PublishedProcess process;
    process.pid = page.header.pid;
    process.program.assign(page.header.program, strnlen(page.header.program, kProgramNameBytes));
    process.updatedNs = page.header.updatedNs;
    process.callerTotal = page.header.callerTotal;
    for (std::uint32_t i = 0; i < page.header.callerCount; ++i) {
        const CounterPageCaller& entry = page.callers[i];
        PublishedCaller caller;
        caller.identity = {entry.ownAddress, entry.ownPort, entry.peerAddress, entry.peerPort,
                           entry.kind == 1 ? CallerKind::kExtended : CallerKind::kPlain};
        std::memcpy(static_cast<void*>(&caller.counters), entry.values, sizeof caller.counters);
        process.callers.push_back(caller);
    }
    return process;
}

}  // namespace

std::string CounterPageName(int pid) { return NamedObjectPath(kPageTag + std::to_string(pid)); }

std::vector<int> ListCounterPages() {
    std::vector<int> pids;
    const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir("/dev/shm"), &::closedir);
    if (!directory) return pids;
    const std::string prefix = CounterPageName(0).substr(1, CounterPageName(0).size() - 2);
    while (const struct dirent* entry = ::readdir(directory.get())) {
        const int pid = PidOfPageFile(entry->d_name, prefix);
        if (pid > 0) pids.push_back(pid);
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<PublishedProcess> ReadCounterPage(int pid, std::string* why) {
    const FileDescriptor fd = OpenOwnPage(pid, why);
    if (!fd.Valid()) return std::nullopt;
    struct stat status{};
    if (::fstat(fd.Get(), &status) != 0 || status.st_size != static_cast<off_t>(sizeof(CounterPage))) {
        if (why != nullptr) *why = "not the size of a counters page";
        return std::nullopt;
    }
    auto page = std::make_unique<CounterPage>();
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        std::uint64_t sequenceAfter = 0;
        // The whole page, then its sequence again: a refresh in between shows as a change.
        if (::pread(fd.Get(), page.get(), sizeof *page, 0) != static_cast<ssize_t>(sizeof *page) ||
            ::pread(fd.Get(), &sequenceAfter, sizeof sequenceAfter, offsetof(CounterPageHeader, sequence)) !=
                static_cast<ssize_t>(sizeof sequenceAfter)) {
            if (why != nullptr) *why = "cannot be read";
            return std::nullopt;
        }
        if (!IsPageOf(page->header, pid, why)) return std::nullopt;
        if (page->header.sequence % 2 == 0 && page->header.sequence == sequenceAfter) {
            if (!HasSaneCallerCount(page->header, why)) return std::nullopt;
            return Unpacked(*page);
        }
        ::usleep(1000);
    }
    if (why != nullptr) *why = "changes while it is read";
    return std::nullopt;
}

bool RemoveCounterPageIfStale(int pid) {
    const std::string name = CounterPageName(pid);
    FileDescriptor fd(::shm_open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0));
    if (!fd.Valid() || !IsOwnPrivateFile(fd.Get(), nullptr)) return false;
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;   // its publisher lives
    return ::shm_unlink(name.c_str()) == 0;
}

int RemoveStaleCounterPages() {
    int removed = 0;
    for (const int pid : ListCounterPages()) removed += RemoveCounterPageIfStale(pid) ? 1 : 0;
    return removed;
}

}  // namespace talvex
