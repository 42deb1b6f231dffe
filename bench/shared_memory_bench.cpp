// Round trip of an empty call between two processes, measured in one run:
//   1. floor: raw ping-pong on a polled word in shared memory (both sides spin, yielding),
//   2. floor: raw ping-pong on two futex words (both sides sleep),
//   3. the shared-memory channel of CRP_CallerEx,
//   4. the same call over UDP loopback (two CRP_CallerEx, the channel off).
// Usage: shared_memory_bench [calls]   (the program starts itself as the answering peer)
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <linux/futex.h>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::int32_t kEmpty = 1;
constexpr std::int32_t kQuit = 99;
constexpr int kRegionBytes = 64 * 1024;
constexpr int kWarmUp = 200;

struct Summary {
    double medianMicros = 0;
    double meanMicros = 0;
};

Summary Summarise(std::vector<double>& micros) {
    Summary summary;
    if (micros.empty()) return summary;
    std::sort(micros.begin(), micros.end());
    summary.medianMicros = micros[micros.size() / 2];
    double total = 0;
    for (double value : micros) total += value;
    summary.meanMicros = total / static_cast<double>(micros.size());
    return summary;
}

// Times `count` round trips of `once` (after a warm-up), one sample each.
template <typename RoundTrip>
Summary Measure(int count, RoundTrip once) {
    for (int i = 0; i < kWarmUp; ++i) once();
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!once()) break;
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return Summarise(micros);
}

void Report(const char* what, const Summary& summary) {
    std::printf("%-44s median %8.2f us   mean %8.2f us\n", what, summary.medianMicros, summary.meanMicros);
    std::fflush(stdout);
}

// ---- raw floors (forked child, shared anonymous page) ----------------------------

struct PingPong {
    std::uint32_t ping;
    std::uint32_t pong;
};

PingPong* SharedPage() {
    void* page = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return page == MAP_FAILED ? nullptr : static_cast<PingPong*>(page);
}

void SpinUntil(std::uint32_t* word, std::uint32_t value) {
    while (std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire) != value) sched_yield();
}

void FutexWaitWhile(std::uint32_t* word, std::uint32_t notWanted) {
    while (std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire) == notWanted) {
        ::syscall(SYS_futex, word, FUTEX_WAIT, notWanted, nullptr, nullptr, 0);
    }
}

void FutexStore(std::uint32_t* word, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(*word).store(value, std::memory_order_release);
    ::syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

template <typename ChildLoop, typename RoundTrip>
Summary ForkedPingPong(int count, ChildLoop childLoop, RoundTrip once) {
    const pid_t child = ::fork();
    if (child == 0) {
        childLoop();
        std::_Exit(0);
    }
    const Summary summary = Measure(count, once);
    int status = 0;
    ::waitpid(child, &status, 0);
    return summary;
}

Summary PolledFloor(int count) {
    PingPong* page = SharedPage();
    if (page == nullptr) return {};
    const std::uint32_t total = static_cast<std::uint32_t>(count + kWarmUp);
    std::uint32_t sequence = 0;
    const Summary summary = ForkedPingPong(
        count,
        [&] {
            for (std::uint32_t i = 1; i <= total; ++i) {
                SpinUntil(&page->ping, i);
                std::atomic_ref<std::uint32_t>(page->pong).store(i, std::memory_order_release);
            }
        },
        [&] {
            ++sequence;
            std::atomic_ref<std::uint32_t>(page->ping).store(sequence, std::memory_order_release);
            SpinUntil(&page->pong, sequence);
            return true;
        });
    ::munmap(page, 4096);
    return summary;
}

Summary FutexFloor(int count) {
    PingPong* page = SharedPage();
    if (page == nullptr) return {};
    const std::uint32_t total = static_cast<std::uint32_t>(count + kWarmUp);
    std::uint32_t sequence = 0;
    const Summary summary = ForkedPingPong(
        count,
        [&] {
            for (std::uint32_t i = 1; i <= total; ++i) {
                FutexWaitWhile(&page->ping, i - 1);
                FutexStore(&page->pong, i);
            }
        },
        [&] {
            ++sequence;
            FutexStore(&page->ping, sequence);
            FutexWaitWhile(&page->pong, sequence - 1);
            return true;
        });
    ::munmap(page, 4096);
    return summary;
}

// ---- the answering peer ---------------------------------------------------------------

// Answers every call with an empty return; kQuit through the channel ends the peer.
class EmptyAnswers : public CRP_CallerEx {
public:
    explicit EmptyAnswers(unsigned short port) : CRP_CallerEx(port) {}
    std::atomic<bool> m_quit{false};
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        if (block->m_nProcedure == kQuit) m_quit = true;
        block->ResetForReturn();
        SendReturn(block);
    }
};

int RunPeer(const std::string& base, int key) {
    auto channel = std::make_unique<EmptyAnswers>(static_cast<unsigned short>(key ^ 0x5A5A));
    channel->EnableSharedMemory();
    if (!channel->InitSharedMemory(CString(std::wstring(base.begin(), base.end())), kRegionBytes, key, false)) {
        std::printf("failed\n");
        return 1;
    }
    // Ready once the telegram thread has set its signal (its queue exists then).
    const auto ready = Clock::now() + std::chrono::seconds(10);
    while (!talvex::IsEventSet(channel->m_hTelegramSignal) && Clock::now() < ready) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    auto udp = std::make_unique<EmptyAnswers>(static_cast<unsigned short>(0));
    if (!udp->StartDispatchThread(0, L"127.0.0.1", "", 0)) std::printf("udp failed\n");
    std::printf("%u %u\n", channel->m_pTelegramThread->m_nThreadID, udp->GetMyUDPPort());
    std::fflush(stdout);
    const auto end = Clock::now() + std::chrono::minutes(2);
    while (!channel->m_quit && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    udp->StopDispatchThread();
    channel->UnInitSharedMemory();
    return 0;
}

// ---- the calling side ---------------------------------------------------------------

int RunBench(int calls) {
    Report("floor: polled word ping-pong (spin+yield)", PolledFloor(calls * 4));
    Report("floor: futex ping-pong", FutexFloor(calls * 4));

    const auto directory = std::filesystem::temp_directory_path() / ("talvex-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::string base = (directory / "chan").string();
    const int key = 0x7A000000 + (::getpid() & 0xFFFFF) * 2;

    auto side = std::make_unique<CRP_CallerEx>(static_cast<unsigned short>(key ^ 0x3C3C));
    if (!side->InitSharedMemory(CString(std::wstring(base.begin(), base.end())), kRegionBytes, key, true)) {
        std::fprintf(stderr, "InitSharedMemory failed\n");
        return 1;
    }
    side->EnableSharedMemory();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string command = "'" + self + "' peer '" + base + "' " + std::to_string(key);
    FILE* peer = ::popen(command.c_str(), "r");
    unsigned peerThread = 0;
    unsigned peerPort = 0;
    if (peer == nullptr || std::fscanf(peer, "%u %u", &peerThread, &peerPort) != 2) {
        std::fprintf(stderr, "peer did not start\n");
        return 1;
    }
    side->m_nPeerThreadId = peerThread;

    CUdpDataBlockEx block;
    auto emptyCall = [&](CRP_CallerEx& caller) {
        block.Clear();
        block.m_nProcedure = kEmpty;
        block.m_nType = RP_CALL;
        return caller.CallProcedure(&block, 1000);
    };
    const Summary channel = Measure(calls, [&] { return emptyCall(*side); });
    Report("shared-memory channel, empty call", channel);

    auto udp = std::make_unique<CRP_CallerEx>(static_cast<unsigned short>(0));
    Summary overUdp;
    if (peerPort != 0 && udp->StartDispatchThread(0, L"127.0.0.1", "", 0)) {
        udp->SetRemoteSocket(static_cast<unsigned short>(peerPort), 0x7F000001u);
        overUdp = Measure(calls, [&] { return emptyCall(*udp); });
        Report("UDP loopback (CRP_CallerEx), empty call", overUdp);
        udp->StopDispatchThread();
    }

    block.Clear();
    block.m_nProcedure = kQuit;
    block.m_nType = RP_CALL;
    side->CallProcedure(&block, 1000);
    ::pclose(peer);
    side->UnInitSharedMemory();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "peer") return RunPeer(argv[2], std::atoi(argv[3]));
    const int calls = argc >= 2 ? std::max(100, std::atoi(argv[1])) : 5000;
    return RunBench(calls);
}
