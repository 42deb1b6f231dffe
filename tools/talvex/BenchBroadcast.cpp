#include "BenchBroadcast.h"

#include "BenchServer.h"
#include "FreshNetworkNamespace.h"
#include "LoopbackBroadcast.h"
#include "Subprocess.h"

#include <Talvex05u.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

constexpr int kAnswerers = 16;
constexpr unsigned short kLibraryPort = 47100;   // the namespace is private: fixed ports are free
constexpr unsigned short kRawPort = 47101;
constexpr std::int32_t kWaitMs = 30;             // BroadcastCall's waiting time per trial
constexpr int kDatagramBytes = 20;               // a broadcast block of one word
constexpr auto kInsideLimit = std::chrono::seconds(60);
const std::string kCaseName = "broadcast, 16 answers in";

int BroadcastSocket(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    timeval limit{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return fd;
}

// One answering caller: a plain CRP_Caller (the extended caller's 40 MB chunk stores
// are not needed to answer a broadcast), answering each broadcast with one word.
class BroadcastAnswerer : public CRP_Caller {
public:
    ~BroadcastAnswerer() override { StopDispatchThread(); }

protected:
    void DoBroadCastFunction(CUdpDataBlockEx* block) override {
        block->ResetForReturn();
        block->AppendLongData(1);
        SendReturn(block);
    }
};

// One raw answerer: a socket on the broadcast port and a thread that answers each datagram.
class RawAnswerer {
public:
    RawAnswerer() : m_fd(BroadcastSocket(kRawPort)), m_thread([this] { Serve(); }) {}
    ~RawAnswerer() {
        m_stop = true;
        m_thread.join();
        ::close(m_fd);
    }
    RawAnswerer(const RawAnswerer&) = delete;
    RawAnswerer& operator=(const RawAnswerer&) = delete;

private:
    void Serve() {
        char buffer[2048];
        while (!m_stop) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t size = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (size > 0) ::sendto(m_fd, buffer, static_cast<size_t>(size), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }
    int m_fd;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The raw floor: one broadcast datagram out, 16 answers back on the same socket.
class RawBroadcaster {
public:
    RawBroadcaster() : m_fd(BroadcastSocket(0)) {
        timeval limit{1, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~RawBroadcaster() { ::close(m_fd); }
    RawBroadcaster(const RawBroadcaster&) = delete;
    RawBroadcaster& operator=(const RawBroadcaster&) = delete;

    std::optional<double> Once() {
        char packet[kDatagramBytes] = {};
        char answer[2048];
        sockaddr_in everyone{};
        everyone.sin_family = AF_INET;
        everyone.sin_port = htons(kRawPort);
        everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        const auto start = Clock::now();
        ::sendto(m_fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&everyone), sizeof everyone);
        for (int i = 0; i < kAnswerers; ++i)
            if (::recv(m_fd, answer, sizeof answer, 0) <= 0) return std::nullopt;
        return MicrosSince(start);
    }

private:
    int m_fd;
};

// The library: BroadcastCall sleeps its whole waiting time, so a watcher thread
// notes when the 16th answer is in the collection.
class LibraryBroadcaster {
public:
    bool Start() { return m_caller.StartDispatchThread(0, CString(L"127.0.0.1"), "", 0); }
    ~LibraryBroadcaster() { m_caller.StopDispatchThread(); }

    std::optional<double> Once() {
        m_caller.m_BCastReturn.Clear();   // the watcher must not see the previous broadcast's answers
        std::atomic<bool> watching{false};
        Clock::time_point sixteenth{};
        std::thread watcher([&] {
            watching = true;
            const auto limit = Clock::now() + std::chrono::milliseconds(kWaitMs);
            while (SizeNow() < kAnswerers && Clock::now() < limit) sched_yield();
            if (SizeNow() >= kAnswerers) sixteenth = Clock::now();
        });
        while (!watching) sched_yield();
        CUdpDataBlockEx block(kProcEmpty);
        block.AppendLongData(0);
        const auto start = Clock::now();
        CBCastReturnBlock* answers = m_caller.BroadcastCall(kLibraryPort, &block, kWaitMs);
        watcher.join();
        if (answers == nullptr || answers->GetSize() < kAnswerers || sixteenth == Clock::time_point{})
            return std::nullopt;
        return std::chrono::duration<double, std::micro>(sixteenth - start).count();
    }

private:
    std::uint32_t SizeNow() {
        return std::atomic_ref<std::uint32_t>(m_caller.m_BCastReturn.m_nSize).load(std::memory_order_relaxed);
    }
    CRP_Caller m_caller;
};

TrialPlan BroadcastPlan(bool quick) {
    TrialPlan plan;
    plan.rounds = quick ? 3 : 20;
    plan.perRound = quick ? 5 : 10;
    plan.warmUp = 2;
    plan.budget = std::chrono::milliseconds(quick ? 3000 : 15000);
    return plan;
}

CaseResult ParseInsideResult(const std::string& line) {
    CaseResult result;
    result.name = kCaseName;
    result.reference = "raw UDP broadcast, 16 raw answerers";
    std::istringstream fields(line.substr(7));
    fields >> result.measured.median >> result.measured.p99 >> result.measured.samples >> result.measured.failures >>
        result.referenceSummary.median >> result.referenceSummary.p99 >> result.referenceSummary.samples >>
        result.referenceSummary.failures;
    if (!fields) result.skipped = "unreadable result from the namespace: " + line;
    return result;
}

CaseResult Skipped(const std::string& why) {
    CaseResult result;
    result.name = kCaseName;
    result.skipped = why;
    return result;
}

}  // namespace

int RunBroadcastInside(bool quick) {
    std::string refusal;
    if (!talvex::InFreshNamespaceOfParent(refusal)) {   // it brings interfaces up and adds routes
        std::fprintf(stderr, "talvex bench --broadcast-inside: refused: %s\n", refusal.c_str());
        return 2;
    }
    std::string why;
    if (!cli::SetUpLoopbackBroadcast(&why)) {
        std::printf("SKIP no broadcast on loopback in the namespace: %s\n", why.c_str());
        return 0;
    }
    std::vector<std::unique_ptr<BroadcastAnswerer>> servers;
    for (int i = 0; i < kAnswerers; ++i) {
        auto server = std::make_unique<BroadcastAnswerer>();
        if (!server->StartDispatchThread(0, CString(L"127.0.0.1"), "", kLibraryPort)) {
            std::printf("SKIP an answering caller did not start\n");
            return 0;
        }
        servers.push_back(std::move(server));
    }
    std::vector<std::unique_ptr<RawAnswerer>> raw;
    for (int i = 0; i < kAnswerers; ++i) raw.push_back(std::make_unique<RawAnswerer>());
    LibraryBroadcaster library;
    RawBroadcaster rawBroadcaster;
    if (!library.Start()) {
        std::printf("SKIP the broadcasting caller did not start\n");
        return 0;
    }
    Progress silent(0);
    Summary measured;
    Summary reference;
    MeasureInterleaved([&] { return library.Once(); }, [&] { return rawBroadcaster.Once(); }, BroadcastPlan(quick),
                       silent, &measured, &reference);
    std::printf("RESULT %.3f %.3f %zu %zu %.3f %.3f %zu %zu\n", measured.median, measured.p99, measured.samples,
                measured.failures, reference.median, reference.p99, reference.samples, reference.failures);
    std::fflush(stdout);
    for (auto& server : servers) server->StopDispatchThread();
    return 0;
}

void RunBroadcastCase(bool quick, Progress& progress, std::vector<CaseResult>* results) {
    progress.BeginCase(kCaseName);
    std::vector<std::string> args = {"unshare", "-n", "--", cli::Subprocess::SelfPath(), "bench"};
    for (const std::string& argument : SecondProcessArguments()) args.push_back(argument);
    args.push_back("--broadcast-inside");
    if (quick) args.push_back("--quick");
    cli::Subprocess inside;
    std::string error;
    talvex::PassOwnNamespaceToChildren();
    if (!inside.Start(args[0], args, &error)) {
        results->push_back(Skipped("no private network namespace: " + error));
        return;
    }
    std::string line;
    std::string output;
    const auto deadline = Clock::now() + kInsideLimit;
    while (Clock::now() < deadline &&
           inside.ReadLine(&line, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
        if (line.rfind("RESULT ", 0) == 0) {
            inside.Wait(std::chrono::seconds(5));
            results->push_back(ParseInsideResult(line));
            return;
        }
        if (line.rfind("SKIP ", 0) == 0) {
            inside.Wait(std::chrono::seconds(5));
            results->push_back(Skipped(line.substr(5)));
            return;
        }
        if (output.empty()) output = line;
    }
    inside.Wait(std::chrono::seconds(2));
    results->push_back(Skipped("no private network namespace here" + (output.empty() ? "" : ": " + output)));
}

}  // namespace bench
