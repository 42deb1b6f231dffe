// PublishCounters: a thread that copies the counters of every caller of the process
// into the process's counters page ten times a second, while the process holds the
// page with a shared flock (so that others can tell a live page from a stale one).
#include "caller/CounterPage.h"

#include "platform/OwnObject.h"
#include "platform/OwnedDescriptor.h"
#include "talvex05u/socket/BlockingSocketException.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <errno.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace talvex {

namespace {

constexpr std::chrono::milliseconds kRefreshInterval{100};

// The mapped page of this process; unmapped and removed when it goes.
class OwnPage {
public:
    // Creates or takes over this process's page; nullptr, reported, when it cannot.
    static std::unique_ptr<OwnPage> Open();
    ~OwnPage() {
        ::munmap(m_page, sizeof(CounterPage));
        ::shm_unlink(m_name.c_str());
    }
    OwnPage(const OwnPage&) = delete;
    OwnPage& operator=(const OwnPage&) = delete;
    void Refresh();

private:
    OwnPage(std::string name, detail::OwnedDescriptor fd, CounterPage* page)
        : m_name(std::move(name)), m_fd(std::move(fd)), m_page(page) {}
    std::string m_name;
    detail::OwnedDescriptor m_fd;   // holds the shared flock
    CounterPage* m_page;
};

// Opens (or creates) the page `name` and holds it with a shared flock; invalid, with
// the reason in `why`, when it is not ours. A stale page of the same name that another
// process removes meanwhile (a reused pid) is opened again.
detail::OwnedDescriptor OpenAndHold(const std::string& name, std::string* why) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        detail::OwnedDescriptor fd(::shm_open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd.Valid()) {
            *why = std::strerror(errno);
            return fd;
        }
        if (!IsOwnPrivateFile(fd.Get(), why)) return {};
        struct stat held {};
        if (::flock(fd.Get(), LOCK_SH) != 0 || ::fstat(fd.Get(), &held) != 0) {
            *why = std::strerror(errno);
            return {};
        }
        if (held.st_nlink > 0) return fd;
    }
    *why = "removed again and again while opened";
    return {};
}

std::unique_ptr<OwnPage> OwnPage::Open() {
    const std::string name = CounterPageName(static_cast<int>(::getpid()));
    std::string why;
    detail::OwnedDescriptor fd = OpenAndHold(name, &why);
    if (fd.Valid() && ::ftruncate(fd.Get(), sizeof(CounterPage)) != 0) {
        why = std::strerror(errno);
        fd.Reset();
    }
    void* mapped = fd.Valid() ? ::mmap(nullptr, sizeof(CounterPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd.Get(), 0)
                              : MAP_FAILED;
    if (mapped == MAP_FAILED) {
        ReportRefusedObject("counters page", "/dev/shm" + name, why.empty() ? std::strerror(errno) : why);
        return nullptr;
    }
    auto* page = static_cast<CounterPage*>(mapped);
    std::memset(page, 0, sizeof *page);
    page->header.magic = kCounterPageMagic;
    page->header.version = kCounterPageVersion;
    page->header.counterCount = kCounterCount;
    page->header.pid = static_cast<std::int32_t>(::getpid());
    std::strncpy(page->header.program, program_invocation_short_name, kProgramNameBytes - 1);
    return std::unique_ptr<OwnPage>(new OwnPage(name, std::move(fd), page));
}

void OwnPage::Refresh() {
    std::atomic_ref<std::uint64_t> sequence(m_page->header.sequence);
    sequence.fetch_add(1, std::memory_order_acq_rel);   // odd: being written
    std::uint32_t total = 0;
    VisitCounterCells([&](const CounterCells& cells) {
        if (total < kCounterPageCallers) {
            CounterPageCaller& entry = m_page->callers[total];
            const CallerIdentity id = cells.Identity();
            entry = {id.ownAddress, id.ownPort, static_cast<std::uint16_t>(id.kind), id.peerAddress, id.peerPort, 0, {}};
            const auto values = CounterValues(cells.Snapshot());
            std::memcpy(entry.values, values.data(), sizeof entry.values);
        }
        ++total;
    });
    m_page->header.callerTotal = total;
    m_page->header.callerCount = std::min<std::uint32_t>(total, kCounterPageCallers);
    m_page->header.updatedNs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    sequence.fetch_add(1, std::memory_order_release);   // even: whole again
}

// The one publisher of the process: its page and the thread that refreshes it.
class Publisher {
public:
    ~Publisher() { Stop(); }
    bool Start() {
        std::scoped_lock lock(m_lock);
        if (m_page) return true;
        RemoveStaleCounterPages();   // pages of processes that died without removing theirs
        m_page = OwnPage::Open();
        if (!m_page) return false;
        m_page->Refresh();
        m_stop = false;
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    void Stop() {
        {
            std::scoped_lock lock(m_lock);
            if (!m_page || m_stop) return;   // not publishing, or another thread stops it
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
        std::scoped_lock lock(m_lock);
        m_page.reset();
    }

private:
    void Run() {
        std::unique_lock lock(m_lock);
        while (!m_wake.wait_for(lock, kRefreshInterval, [this] { return m_stop; })) m_page->Refresh();
    }
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::unique_ptr<OwnPage> m_page;
    std::thread m_thread;
};

Publisher& ThePublisher() {
    static Publisher publisher;   // stops and removes the page when the process ends normally
    return publisher;
}

}  // namespace

bool PublishCounters() { return ThePublisher().Start(); }

void StopPublishingCounters() { ThePublisher().Stop(); }

}  // namespace talvex
