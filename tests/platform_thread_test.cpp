// Thread objects (id, priority, end state, joining) and the computer name of the
// platform layer (the tick count is exercised by the callers' liveness timing).
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sys/resource.h>
#include <tuple>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
constexpr std::uint32_t kLongWaitMs = 10000;

// What a started routine reports about itself; it returns 42 once the gate is set.
struct Observation {
    std::atomic<std::uint32_t> tid{0};
    std::atomic<int> nice{0};
    void* gate = talvex::CreateEvent(true, false);
    ~Observation() { talvex::CloseEvent(gate); }
};

std::uint32_t ObserveAndWait(void* parameter) {
    auto* o = static_cast<Observation*>(parameter);
    o->tid = static_cast<std::uint32_t>(::gettid());
    o->nice = ::getpriority(PRIO_PROCESS, 0);   // on Linux: the calling thread
    talvex::WaitForEvent(o->gate, kLongWaitMs);
    return 42;
}

TEST(ThreadTest, IdIsTheKernelIdKnownAtReturnAndEndStateFollowsTheRoutine) {
    const int own = ::getpriority(PRIO_PROCESS, 0);
    Observation o;
    std::unique_ptr<CWinThread> thread(talvex::BeginThread(&ObserveAndWait, &o, talvex::kPriorityBelowNormal));
    ASSERT_NE(thread, nullptr);
    const std::uint32_t idAtReturn = thread->m_nThreadID;   // read before any wait
    EXPECT_EQ(std::make_tuple(thread->HasEnded(), thread->ExitCode()), std::make_tuple(false, talvex::kStillActive));
    EXPECT_FALSE(thread->WaitFor(20));
    talvex::SetEvent(o.gate);
    EXPECT_TRUE(thread->WaitFor(kLongWaitMs));
    EXPECT_EQ(std::make_tuple(thread->HasEnded(), thread->ExitCode()), std::make_tuple(true, 42u));
    EXPECT_TRUE(thread->Join() && thread->Join() && thread->WaitFor(0));   // a second join is harmless
    EXPECT_TRUE(idAtReturn != 0u && idAtReturn != talvex::GetCurrentThreadId()) << idAtReturn;
    EXPECT_EQ(idAtReturn, o.tid.load());
    EXPECT_EQ(talvex::GetCurrentThreadId(), static_cast<std::uint32_t>(::gettid()));
    if (own < 19) { EXPECT_EQ(o.nice.load(), own + 1); }   // below normal: nice one higher
    EXPECT_EQ(talvex::BeginThread(nullptr, nullptr), nullptr);
}

// A thread that joins, waits for and finally deletes its own object: no hang.
TEST(ThreadTest, JoinOnItselfFailsAndDeletingItselfDetaches) {
    static struct {
        std::atomic<CWinThread*> self{nullptr};
        std::atomic<int> joinResult{-1}, waitResult{-1};
        std::atomic<bool> done{false};   // the last thing the thread touches
    } s;                                 // outlives the detached thread
    CWinThread* thread = talvex::BeginThread(
        [](void*) -> std::uint32_t {
            for (int i = 0; i < 1000 && s.self.load() == nullptr; ++i) talvex::Sleep(1);
            CWinThread* self = s.self.load();
            s.joinResult = self->Join() ? 1 : 0;
            s.waitResult = self->WaitFor(10) ? 1 : 0;
            delete self;   // detaches instead of joining itself
            s.done = true;
            return 0;
        },
        nullptr);
    ASSERT_NE(thread, nullptr);
    s.self = thread;
    ASSERT_TRUE(testsupport::WaitUntil([] { return s.done.load(); }, 10s));
    EXPECT_EQ(std::make_tuple(s.joinResult.load(), s.waitResult.load()), std::make_tuple(0, 0));
}

TEST(SystemTest, ComputerNameIsTheHostName) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    std::wstring expected;
    for (const char* c = host; *c != '\0' && expected.size() < 127; ++c) expected.push_back(static_cast<unsigned char>(*c));
    EXPECT_EQ(talvex::GetComputerName().str(), expected);
}

}  // namespace
