#include "BenchSyscalls.h"

#include "BenchCalls.h"
#include "BenchRawUdp.h"
#include "BenchServer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <linux/perf_event.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kWarmUpCalls = 500;
constexpr int kLoopWarmUpCalls = 200;
constexpr int kPacketHeaderBytes = 16;   // a one-packet call's datagram: the header and the data
constexpr const char* kMethod = "perf_event_open on raw_syscalls:sys_enter, every thread of the process";
constexpr const char* kScriptHint = "scripts/syscalls-per-call.sh counts them under strace";

// The system calls given a count of their own; the rest is "other".
struct KnownSyscall {
    const char* name;
    long number;
};

const std::vector<KnownSyscall>& KnownSyscalls() {
    static const std::vector<KnownSyscall> known = {
#ifdef SYS_poll
        {"poll", SYS_poll},
#endif
#ifdef SYS_ppoll
        {"ppoll", SYS_ppoll},
#endif
#ifdef SYS_select
        {"select", SYS_select},
#endif
#ifdef SYS_pselect6
        {"pselect6", SYS_pselect6},
#endif
#ifdef SYS_epoll_wait
        {"epoll_wait", SYS_epoll_wait},
#endif
#ifdef SYS_epoll_pwait
        {"epoll_pwait", SYS_epoll_pwait},
#endif
#ifdef SYS_recvmsg
        {"recvmsg", SYS_recvmsg},
#endif
#ifdef SYS_recvmmsg
        {"recvmmsg", SYS_recvmmsg},
#endif
#ifdef SYS_recvfrom
        {"recvfrom", SYS_recvfrom},
#endif
#ifdef SYS_sendto
        {"sendto", SYS_sendto},
#endif
#ifdef SYS_sendmsg
        {"sendmsg", SYS_sendmsg},
#endif
#ifdef SYS_sendmmsg
        {"sendmmsg", SYS_sendmmsg},
#endif
#ifdef SYS_read
        {"read", SYS_read},
#endif
#ifdef SYS_write
        {"write", SYS_write},
#endif
#ifdef SYS_futex
        {"futex", SYS_futex},
#endif
#ifdef SYS_sched_yield
        {"sched_yield", SYS_sched_yield},
#endif
#ifdef SYS_nanosleep
        {"nanosleep", SYS_nanosleep},
#endif
#ifdef SYS_clock_nanosleep
        {"clock_nanosleep", SYS_clock_nanosleep},
#endif
#ifdef SYS_clock_gettime
        {"clock_gettime", SYS_clock_gettime},
#endif
#ifdef SYS_gettimeofday
        {"gettimeofday", SYS_gettimeofday},
#endif
#ifdef SYS_getpid
        {"getpid", SYS_getpid},
#endif
#ifdef SYS_gettid
        {"gettid", SYS_gettid},
#endif
#ifdef SYS_ioctl
        {"ioctl", SYS_ioctl},
#endif
#ifdef SYS_fcntl
        {"fcntl", SYS_fcntl},
#endif
#ifdef SYS_getsockopt
        {"getsockopt", SYS_getsockopt},
#endif
#ifdef SYS_setsockopt
        {"setsockopt", SYS_setsockopt},
#endif
#ifdef SYS_rt_sigprocmask
        {"rt_sigprocmask", SYS_rt_sigprocmask},
#endif
#ifdef SYS_mmap
        {"mmap", SYS_mmap},
#endif
#ifdef SYS_munmap
        {"munmap", SYS_munmap},
#endif
#ifdef SYS_madvise
        {"madvise", SYS_madvise},
#endif
#ifdef SYS_brk
        {"brk", SYS_brk},
#endif
    };
    return known;
}

// The number of the raw_syscalls:sys_enter tracepoint, from tracefs where it is mounted.
std::optional<std::uint64_t> TracepointId(std::string* why) {
    for (const char* path : {"/sys/kernel/tracing/events/raw_syscalls/sys_enter/id",
                             "/sys/kernel/debug/tracing/events/raw_syscalls/sys_enter/id"}) {
        std::ifstream file(path);
        std::uint64_t id = 0;
        if (file >> id) return id;
    }
    *why = "no raw_syscalls:sys_enter id in /sys/kernel/tracing or /sys/kernel/debug/tracing "
           "(not readable by this user, or tracefs not mounted: as root, mount -t tracefs nodev /sys/kernel/tracing)";
    return std::nullopt;
}

// Counts the system calls entered by the thread that opens it and by every thread that
// thread (or one of its threads) starts afterwards: one counter for all of them and,
// where the kernel takes the filter, one per known system call. Threads that ran before
// Open are not counted.
class SyscallCounter {
public:
    SyscallCounter() = default;
    ~SyscallCounter() {
        for (const int fd : m_descriptors)
            if (fd >= 0) ::close(fd);
        if (m_switches >= 0) ::close(m_switches);
    }
    SyscallCounter(const SyscallCounter&) = delete;
    SyscallCounter& operator=(const SyscallCounter&) = delete;

    bool Open(std::string* why) {
        const auto id = TracepointId(why);
        if (!id) return false;
        const int total = OpenOne(*id);
        if (total < 0) {
            *why = std::string("perf_event_open refused (") + std::strerror(errno) + "; perf_event_paranoid " +
                   Paranoia() + ")";
            return false;
        }
        m_descriptors.push_back(total);
        m_hasBreakdown = true;
        for (const KnownSyscall& known : KnownSyscalls()) {
            const int fd = OpenOne(*id);
            const std::string filter = "id == " + std::to_string(known.number);
            if (fd < 0 || ::ioctl(fd, PERF_EVENT_IOC_SET_FILTER, filter.c_str()) != 0) {
                if (fd >= 0) ::close(fd);
                m_hasBreakdown = false;   // the total alone
                break;
            }
            m_descriptors.push_back(fd);
        }
        if (!m_hasBreakdown) {
            for (std::size_t i = 1; i < m_descriptors.size(); ++i) ::close(m_descriptors[i]);
            m_descriptors.resize(1);
        }
        // The context switches of the same threads, where the kernel gives them (no filter needed).
        m_switches = OpenOne(PERF_TYPE_SOFTWARE, PERF_COUNT_SW_CONTEXT_SWITCHES);
        return true;
    }

    bool HasBreakdown() const { return m_hasBreakdown; }

    // The counts now: [0] all system calls, [1 + i] the known system call i, last the context switches.
    std::vector<std::uint64_t> Read() const {
        std::vector<std::uint64_t> counts(m_descriptors.size() + 1, 0);
        for (std::size_t i = 0; i < m_descriptors.size(); ++i) counts[i] = ReadOne(m_descriptors[i]);
        if (m_switches >= 0) counts.back() = ReadOne(m_switches);
        return counts;
    }

    // The system calls between two Reads, per call, without the reads of the counters
    // themselves: every counter that counts `read` saw each of the reads of one Read
    // (those of the first Read after its own value was taken, those of the second before),
    // so each gets exactly that many reads too many.
    SyscallTally PerCall(const std::vector<std::uint64_t>& before, const std::vector<std::uint64_t>& after,
                         int calls) const {
        SyscallTally tally;
        tally.hasBreakdown = m_hasBreakdown;
        const auto ownReads = static_cast<double>(m_descriptors.size() + (m_switches >= 0 ? 1 : 0));
        const auto delta = [&](std::size_t i) { return static_cast<double>(after[i] - before[i]); };
        tally.total = (delta(0) - ownReads) / calls;
        if (m_switches >= 0) tally.contextSwitches = delta(after.size() - 1) / calls;
        if (!m_hasBreakdown) return tally;
        double known = 0;
        for (std::size_t i = 0; i < KnownSyscalls().size(); ++i) {
            double count = delta(i + 1);
            if (std::strcmp(KnownSyscalls()[i].name, "read") == 0) count -= ownReads;
            known += count;
            if (count > 0) tally.byName.emplace_back(KnownSyscalls()[i].name, count / calls);
        }
        tally.other = (delta(0) - ownReads - known) / calls;
        std::stable_sort(tally.byName.begin(), tally.byName.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        return tally;
    }

private:
    static int OpenOne(std::uint64_t id) { return OpenOne(PERF_TYPE_TRACEPOINT, id); }

    static int OpenOne(std::uint32_t type, std::uint64_t config) {
        perf_event_attr attr{};
        attr.type = type;
        attr.size = sizeof attr;
        attr.config = config;
        attr.inherit = 1;   // the threads started after the counter count into it
        // pid 0, cpu -1: this thread (and, inherited, its later threads) on any CPU.
        return static_cast<int>(::syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
    }

    static std::uint64_t ReadOne(int fd) {
        std::uint64_t value = 0;
        return ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value) ? value : 0;
    }

    static std::string Paranoia() {
        std::ifstream file("/proc/sys/kernel/perf_event_paranoid");
        std::string level;
        return file >> level ? level : std::string("unknown");
    }

    std::vector<int> m_descriptors;
    int m_switches = -1;
    bool m_hasBreakdown = false;
};

// What one side counted, or why it did not.
struct SideResult {
    SyscallTally tally;
    std::string failure;
    std::string breakdownMissing;   // not empty: the total only, and why
};

// Makes `count` calls of `once`; the failed ones.
std::size_t Repeat(const std::function<bool()>& once, int count) {
    std::size_t failures = 0;
    for (int i = 0; i < count; ++i)
        if (!once()) ++failures;
    return failures;
}

// Opens the counter, then `start` (which starts the side's threads, so that they inherit
// it) returns the call; warm-up calls, then `calls` counted calls.
using SideStart = std::function<std::function<bool()>(std::string* why)>;

SideResult CountSide(const SideStart& start, int calls, Progress& progress, double progressFrom) {
    SideResult result;
    SyscallCounter counter;
    if (!counter.Open(&result.failure)) return result;
    const std::function<bool()> once = start(&result.failure);
    if (!once) return result;
    Repeat(once, kWarmUpCalls);
    progress.Advance(progressFrom + 0.1);
    const auto before = counter.Read();
    const std::size_t failures = Repeat(once, calls);
    const auto after = counter.Read();
    result.tally = counter.PerCall(before, after, calls);
    result.tally.failures = failures;
    if (!counter.HasBreakdown()) result.breakdownMissing = "the kernel refused the tracepoint filter";
    return result;
}

std::string Decimal(double value) { return Fixed(value, 2); }

}  // namespace

double SyscallRow::Ratio() const {
    return referenceTally.total > 0 ? measured.total / referenceTally.total : 0;
}

void RunSyscallCase(int calls, Progress& progress, std::vector<SyscallRow>* rows) {
    SyscallRow row;
    const int words = kSmallCallBytes / 4;
    const int datagram = kPacketHeaderBytes + kSmallCallBytes;
    row.name = "call " + std::to_string(kSmallCallBytes) + " B, threads";
    row.reference = "raw UDP ping-pong " + std::to_string(datagram) + " B, threads";
    row.method = kMethod;
    row.calls = calls;
    row.warmUp = kWarmUpCalls;
    progress.BeginCase("system calls per call " + std::to_string(kSmallCallBytes) + " B");

    // The library: a client caller calling a server caller, both started after the counter opened.
    SideResult library;
    {
        LocalPair pair;
        std::unique_ptr<CallTrial> trial;
        library = CountSide(
            [&](std::string* why) -> std::function<bool()> {
                if (!StartLocalPair(&pair)) {
                    *why = "the local callers did not start";
                    return nullptr;
                }
                trial = std::make_unique<CallTrial>(*pair.client, kProcEcho, words);
                return [&] { return trial->Once().has_value(); };
            },
            calls, progress, 0);
    }   // the pair's threads end here, before the raw side is counted
    progress.Advance(0.5);
    // The raw reference: the echo thread starts after its counter opened; the client is this thread.
    SideResult raw;
    {
        std::unique_ptr<RawEcho> echo;
        std::unique_ptr<RawClient> client;
        raw = CountSide(
            [&](std::string* why) -> std::function<bool()> {
                echo = std::make_unique<RawEcho>(RawEcho::Answer::Mirror);
                client = std::make_unique<RawClient>(echo->Port());
                if (echo->Port() == 0 || !client->IsOpen()) {
                    *why = "the raw echo did not start";
                    return nullptr;
                }
                return [&] { return client->RoundTrip(datagram).has_value(); };
            },
            calls, progress, 0.5);
        client.reset();
        echo.reset();
    }
    progress.Advance(1);
    if (!library.failure.empty()) {
        row.skipped = library.failure + "; " + kScriptHint;
    } else if (!raw.failure.empty()) {
        row.skipped = "raw reference: " + raw.failure;
    } else {
        row.measured = library.tally;
        row.referenceTally = raw.tally;
        if (!library.breakdownMissing.empty()) row.method += " (total only: " + library.breakdownMissing + ")";
    }
    rows->push_back(row);
}

void PrintSyscallTable(const std::vector<SyscallRow>& rows, std::FILE* out) {
    for (const SyscallRow& row : rows) {
        std::fprintf(out, "system calls per call, both peers, steady state:\n");
        if (!row.skipped.empty()) {
            std::fprintf(out, "%-44s skipped: %s\n", row.name.c_str(), row.skipped.c_str());
            continue;
        }
        std::fprintf(out, "(%d calls of each side after %d unmeasured; %s)\n", row.calls, row.warmUp,
                     row.method.c_str());
        std::fprintf(out, "%-24s %20s %34s\n", "system call", row.name.c_str(), row.reference.c_str());
        std::fprintf(out, "%-24s %20s %34s   %.2fx raw\n", "total", Decimal(row.measured.total).c_str(),
                     Decimal(row.referenceTally.total).c_str(), row.Ratio());
        // Every known system call that either side made, in the library's order, then the reference's own.
        std::vector<std::string> names;
        for (const auto& entry : row.measured.byName) names.push_back(entry.first);
        for (const auto& entry : row.referenceTally.byName)
            if (std::find(names.begin(), names.end(), entry.first) == names.end()) names.push_back(entry.first);
        const auto perCall = [](const SyscallTally& tally, const std::string& name) {
            for (const auto& entry : tally.byName)
                if (entry.first == name) return entry.second;
            return 0.0;
        };
        for (const std::string& name : names) {
            // Calls rarer than one in 200 calls on both sides stay in the JSON only.
            if (perCall(row.measured, name) < 0.005 && perCall(row.referenceTally, name) < 0.005) continue;
            std::fprintf(out, "  %-22s %20s %34s\n", name.c_str(), Decimal(perCall(row.measured, name)).c_str(),
                         Decimal(perCall(row.referenceTally, name)).c_str());
        }
        if (row.measured.hasBreakdown && (row.measured.other >= 0.005 || row.referenceTally.other >= 0.005))
            std::fprintf(out, "  %-22s %20s %34s\n", "other", Decimal(row.measured.other).c_str(),
                         Decimal(row.referenceTally.other).c_str());
        if (row.measured.contextSwitches >= 0 && row.referenceTally.contextSwitches >= 0)
            std::fprintf(out, "%-24s %20s %34s   (not system calls)\n", "context switches",
                         Decimal(row.measured.contextSwitches).c_str(),
                         Decimal(row.referenceTally.contextSwitches).c_str());
        if (row.measured.failures + row.referenceTally.failures > 0)
            std::fprintf(out, "  (failed while counted: %zu calls, %zu raw round trips)\n", row.measured.failures,
                         row.referenceTally.failures);
    }
}

namespace {

std::string JsonBreakdown(const SyscallTally& tally) {
    std::string text = "{";
    for (std::size_t i = 0; i < tally.byName.size(); ++i)
        text += (i > 0 ? ", \"" : "\"") + tally.byName[i].first + "\": " + Fixed(tally.byName[i].second, 4);
    if (tally.hasBreakdown && tally.other > 0)
        text += std::string(tally.byName.empty() ? "" : ", ") + "\"other\": " + Fixed(tally.other, 4);
    return text + "}";
}

}  // namespace

std::vector<std::string> SyscallJsonObjects(const std::vector<SyscallRow>& rows) {
    std::vector<std::string> objects;
    for (const SyscallRow& row : rows) {
        std::string text = "{\"case\": \"system calls per call: " + JsonEscaped(row.name) + "\", ";
        if (!row.skipped.empty()) {
            objects.push_back(text + "\"skipped\": \"" + JsonEscaped(row.skipped) + "\"}");
            continue;
        }
        text += "\"syscalls_per_call\": " + Fixed(row.measured.total, 4) + ", \"reference\": \"" +
                JsonEscaped(row.reference) + "\", \"reference_syscalls_per_call\": " +
                Fixed(row.referenceTally.total, 4) + ", \"ratio\": " + Fixed(row.Ratio(), 4) +
                ", \"calls\": " + std::to_string(row.calls) + ", \"method\": \"" + JsonEscaped(row.method) +
                "\", \"by_syscall\": " + JsonBreakdown(row.measured) +
                ", \"reference_by_syscall\": " + JsonBreakdown(row.referenceTally);
        if (row.measured.contextSwitches >= 0 && row.referenceTally.contextSwitches >= 0)
            text += ", \"context_switches_per_call\": " + Fixed(row.measured.contextSwitches, 4) +
                    ", \"reference_context_switches_per_call\": " + Fixed(row.referenceTally.contextSwitches, 4);
        text += "}";
        objects.push_back(text);
    }
    return objects;
}

int RunSyscallLoop(bool raw, int calls) {
    const int datagram = kPacketHeaderBytes + kSmallCallBytes;
    std::function<bool()> once;
    LocalPair pair;
    std::unique_ptr<CallTrial> trial;
    std::unique_ptr<RawEcho> echo;
    std::unique_ptr<RawClient> client;
    if (raw) {
        echo = std::make_unique<RawEcho>(RawEcho::Answer::Mirror);
        client = std::make_unique<RawClient>(echo->Port());
        if (echo->Port() == 0 || !client->IsOpen()) {
            std::fprintf(stderr, "talvex bench: the raw echo did not start\n");
            return 1;
        }
        once = [&] { return client->RoundTrip(datagram).has_value(); };
    } else {
        if (!StartLocalPair(&pair)) {
            std::fprintf(stderr, "talvex bench: the local callers did not start\n");
            return 1;
        }
        trial = std::make_unique<CallTrial>(*pair.client, kProcEcho, kSmallCallBytes / 4);
        once = [&] { return trial->Once().has_value(); };
    }
    Repeat(once, kLoopWarmUpCalls);
    const std::size_t failures = Repeat(once, calls);
    std::printf("%s: %d %s after %d unmeasured, %zu failed\n", raw ? "syscalls-loop-raw" : "syscalls-loop", calls,
                raw ? "raw round trips" : "calls", kLoopWarmUpCalls, failures);
    return failures == 0 ? 0 : 1;
}

}  // namespace bench
