#pragma once
// The shared-memory cases of `talvex bench`: an empty call through the channel of
// CRP_CallerEx between two processes, beside the raw floor of two processes (one
// word of a shared mapping polled with sched_yield) and beside the same call over UDP.
#include "BenchHarness.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

class CRP_CallerEx;

namespace bench {

// The words the two processes share for the floor, in a mapped file.
struct FloorWords {
    std::uint32_t armed;   // 1 while the caller measures: the responder polls instead of sleeping
    std::uint32_t awake;   // the responder's answer to arming
    std::uint32_t stop;
    std::uint32_t ping;
    std::uint32_t pong;
};

// A page of a file mapped shared into this process; unmapped with the object.
class SharedFloorPage {
public:
    SharedFloorPage(const std::string& path, bool create);
    ~SharedFloorPage();
    SharedFloorPage(const SharedFloorPage&) = delete;
    SharedFloorPage& operator=(const SharedFloorPage&) = delete;
    FloorWords* Words() const { return m_words; }

private:
    FloorWords* m_words = nullptr;
};

// The peer's side of the floor: copies ping into pong, polling with sched_yield while
// armed and sleeping on the arming word otherwise, so it costs nothing between trials.
class FloorResponder {
public:
    explicit FloorResponder(const std::string& path);
    ~FloorResponder();
    FloorResponder(const FloorResponder&) = delete;
    FloorResponder& operator=(const FloorResponder&) = delete;

private:
    void Serve();
    SharedFloorPage m_page;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The caller's side of the floor.
class FloorCaller {
public:
    explicit FloorCaller(const std::string& path) : m_page(path, true) {}
    ~FloorCaller() { Disarm(); }
    FloorCaller(const FloorCaller&) = delete;
    FloorCaller& operator=(const FloorCaller&) = delete;

    bool IsOpen() const { return m_page.Words() != nullptr; }
    std::optional<double> RoundTrip();
    void Disarm();

private:
    bool EnsureArmed();
    SharedFloorPage m_page;
    bool m_armed = false;
    std::uint32_t m_sequence = 0;
};

// Channel: this side's CRP_CallerEx with the channel open and enabled and m_nPeerThreadId set.
void RunSharedMemoryCases(CRP_CallerEx* channel, FloorCaller* floor, unsigned short peerCallerPort, bool quick,
                          Progress& progress, std::vector<CaseResult>* results);
constexpr int kSharedMemoryCaseCount = 2;

}  // namespace bench
