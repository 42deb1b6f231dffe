#include "BenchSharedMemory.h"

#include "BenchRawUdp.h"
#include "BenchServer.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace bench {

namespace {

constexpr std::size_t kPageBytes = 4096;
constexpr auto kSpinLimit = std::chrono::seconds(1);
constexpr std::int32_t kCallTimeoutMs = 1000;

std::uint32_t Load(std::uint32_t& word) { return std::atomic_ref<std::uint32_t>(word).load(std::memory_order_acquire); }

void Store(std::uint32_t& word, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(word).store(value, std::memory_order_release);
}

// Sleeps while `word` holds `value`, at most 100 ms.
void FutexWait(std::uint32_t& word, std::uint32_t value) {
    timespec limit{0, 100'000'000};
    ::syscall(SYS_futex, &word, FUTEX_WAIT, value, &limit, nullptr, 0);
}

void FutexWakeAll(std::uint32_t& word) { ::syscall(SYS_futex, &word, FUTEX_WAKE, 1 << 30, nullptr, nullptr, 0); }

// Polls with sched_yield until `word` equals `value`; false after kSpinLimit.
bool YieldUntil(std::uint32_t& word, std::uint32_t value) {
    const auto start = Clock::now();
    for (std::uint32_t i = 1; Load(word) != value; ++i) {
        sched_yield();
        if (i % 1024 == 0 && Clock::now() - start > kSpinLimit) return false;
    }
    return true;
}

TrialPlan ChannelPlan(bool quick) {
    TrialPlan plan;
    plan.rounds = quick ? 4 : 40;
    plan.perRound = quick ? 150 : 500;
    plan.warmUp = quick ? 50 : 200;
    plan.budget = std::chrono::milliseconds(quick ? 2500 : 30000);
    return plan;
}

}  // namespace

// ---- the mapped page ---------------------------------------------------------------------

SharedFloorPage::SharedFloorPage(const std::string& path, bool create) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    if (fd < 0) return;
    if (create && ::ftruncate(fd, kPageBytes) != 0) {
        ::close(fd);
        return;
    }
    void* view = ::mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view != MAP_FAILED) m_words = static_cast<FloorWords*>(view);
}

SharedFloorPage::~SharedFloorPage() {
    if (m_words) ::munmap(m_words, kPageBytes);
}

// ---- responder (peer process) ------------------------------------------------------------

FloorResponder::FloorResponder(const std::string& path) : m_page(path, false) {
    if (m_page.Words()) m_thread = std::thread([this] { Serve(); });
}

FloorResponder::~FloorResponder() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void FloorResponder::Serve() {
    FloorWords& w = *m_page.Words();
    std::uint32_t answered = Load(w.ping);
    while (!m_stop && Load(w.stop) == 0) {
        if (Load(w.armed) == 0) {
            Store(w.awake, 0);
            FutexWait(w.armed, 0);
            continue;
        }
        Store(w.awake, 1);
        const std::uint32_t ping = Load(w.ping);
        if (ping != answered) {
            Store(w.pong, ping);
            answered = ping;
        } else {
            sched_yield();
        }
    }
}

// ---- caller ------------------------------------------------------------------------------

bool FloorCaller::EnsureArmed() {
    if (m_armed) return true;
    FloorWords& w = *m_page.Words();
    Store(w.armed, 1);
    FutexWakeAll(w.armed);
    m_armed = YieldUntil(w.awake, 1);
    return m_armed;
}

void FloorCaller::Disarm() {
    if (!m_armed || !m_page.Words()) return;
    Store(m_page.Words()->armed, 0);
    m_armed = false;
}

std::optional<double> FloorCaller::RoundTrip() {
    if (!EnsureArmed()) return std::nullopt;
    FloorWords& w = *m_page.Words();
    const std::uint32_t sequence = ++m_sequence;
    const auto start = Clock::now();
    Store(w.ping, sequence);
    if (!YieldUntil(w.pong, sequence)) return std::nullopt;
    return MicrosSince(start);
}

// ---- cases ---------------------------------------------------------------------------------

void RunSharedMemoryCases(CRP_CallerEx* channel, FloorCaller* floor, unsigned short peerCallerPort, bool quick,
                          Progress& progress, std::vector<CaseResult>* results) {
    const std::string name = "shared-memory empty call, processes";
    const std::string versusUdp = name + ", vs UDP";
    auto udpClient = StartBenchServer();
    if (channel == nullptr || floor == nullptr || !floor->IsOpen() || !udpClient || peerCallerPort == 0) {
        for (const auto& caseName : {name, versusUdp}) {
            CaseResult skipped;
            skipped.name = caseName;
            skipped.skipped = "the shared-memory channel or the peer process did not start";
            progress.BeginCase(caseName);
            results->push_back(skipped);
        }
        return;
    }
    udpClient->SetRemoteSocket(peerCallerPort, kLoopback);
    CUdpDataBlockEx block;
    auto emptyCall = [&block](CRP_CallerEx& caller) -> std::optional<double> {
        block.Clear();
        block.m_nProcedure = kProcEmpty;
        block.m_nType = RP_CALL;
        const auto start = Clock::now();
        if (!caller.CallProcedure(&block, kCallTimeoutMs)) return std::nullopt;
        return MicrosSince(start);
    };
    // The floor's responder polls only while armed; the channel's trials disarm it first.
    const Trial channelCall = [&] {
        floor->Disarm();
        return emptyCall(*channel);
    };
    CaseResult versusFloor =
        PairedCase(name, "polled shared word (sched_yield), processes", channelCall,
                   [&] { return floor->RoundTrip(); }, ChannelPlan(quick), progress);
    floor->Disarm();
    versusFloor.goal = Goal{3.0, "<= 3x cross-process floor"};
    results->push_back(versusFloor);

    results->push_back(PairedCase(versusUdp, "UDP empty call, processes", channelCall,
                                  [&] { return emptyCall(*udpClient); }, ChannelPlan(quick), progress));
}

}  // namespace bench
