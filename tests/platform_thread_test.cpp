// Thread objects (id, priority, end state, joining) and the clock, sleep and
// computer name of the platform layer.
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLongWaitMs = 10000;

// What a started routine reports about itself.
struct Observation {
    std::atomic<std::uint32_t> tid{0};
    std::atomic<int> nice{0};
    void* gate = nullptr;          // the routine waits for this event before it returns
    std::uint32_t exitCode = 0;
    std::atomic<bool> finished{false};
};

std::uint32_t ObserveAndWait(void* parameter) {
    auto* o = static_cast<Observation*>(parameter);
    o->tid = static_cast<std::uint32_t>(::gettid());
    errno = 0;
    o->nice = ::getpriority(PRIO_PROCESS, 0);   // on Linux: the calling thread
    if (o->gate != nullptr) talvex::WaitForEvent(o->gate, kLongWaitMs);
    o->finished = true;
    return o->exitCode;
}

TEST(ThreadTest, ThreadIdIsTheKernelIdOfTheNewThreadAndKnownAtReturn) {
    Observation o;
    std::unique_ptr<CWinThread> thread(talvex::BeginThread(&ObserveAndWait, &o));
    ASSERT_NE(thread, nullptr);
    const std::uint32_t idAtReturn = thread->m_nThreadID;   // read before any wait
    ASSERT_TRUE(thread->Join());
    EXPECT_NE(idAtReturn, 0u);
    EXPECT_EQ(idAtReturn, o.tid.load());
    EXPECT_NE(idAtReturn, talvex::GetCurrentThreadId());
    EXPECT_EQ(talvex::GetCurrentThreadId(), static_cast<std::uint32_t>(::gettid()));
}

TEST(ThreadTest, BelowNormalPriorityRaisesNiceByOne) {
    errno = 0;
    const int own = ::getpriority(PRIO_PROCESS, 0);
    if (own >= 19) GTEST_SKIP() << "nice is already at its highest value; cannot go one below";
    Observation normal;
    Observation lower;
    std::unique_ptr<CWinThread> a(talvex::BeginThread(&ObserveAndWait, &normal, talvex::kPriorityNormal));
    std::unique_ptr<CWinThread> b(talvex::BeginThread(&ObserveAndWait, &lower, talvex::kPriorityBelowNormal));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(a->Join() && b->Join());
    EXPECT_EQ(normal.nice.load(), own);
    EXPECT_EQ(lower.nice.load(), own + 1);
}

TEST(ThreadTest, EndStateExitCodeAndWaits) {
    Observation o;
    o.gate = talvex::CreateEvent(true, false);
    o.exitCode = 42;
    std::unique_ptr<CWinThread> thread(talvex::BeginThread(&ObserveAndWait, &o));
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(thread->HasEnded());
    EXPECT_EQ(thread->ExitCode(), talvex::kStillActive);
    EXPECT_FALSE(thread->WaitFor(20));
    talvex::SetEvent(o.gate);
    EXPECT_TRUE(thread->WaitFor(kLongWaitMs));
    EXPECT_TRUE(thread->HasEnded());
    EXPECT_EQ(thread->ExitCode(), 42u);
    EXPECT_TRUE(thread->Join());
    EXPECT_TRUE(thread->Join());   // a second join is harmless
    EXPECT_TRUE(thread->WaitFor(0));
    talvex::CloseEvent(o.gate);
}

TEST(ThreadTest, DestructorJoins) {
    Observation o;
    o.gate = talvex::CreateEvent(true, false);
    CWinThread* thread = talvex::BeginThread(&ObserveAndWait, &o);
    ASSERT_NE(thread, nullptr);
    CWinThread* helper = talvex::BeginThread(
        [](void* p) -> std::uint32_t {
            talvex::Sleep(50);
            talvex::SetEvent(static_cast<Observation*>(p)->gate);
            return 0;
        },
        &o);
    delete thread;   // must wait until the helper opened the gate and the routine returned
    EXPECT_TRUE(o.finished.load());
    delete helper;
    talvex::CloseEvent(o.gate);
}

// A thread that joins, waits for and finally deletes its own object.
struct SelfOwned {
    std::atomic<CWinThread*> self{nullptr};
    void* gate = nullptr;
    std::atomic<int> joinResult{-1};
    std::atomic<int> waitResult{-1};
    std::atomic<bool> done{false};   // the last thing the thread touches
};

std::uint32_t JoinSelfThenDeleteSelf(void* parameter) {
    auto* s = static_cast<SelfOwned*>(parameter);
    talvex::WaitForEvent(s->gate, kLongWaitMs);
    CWinThread* self = s->self.load();
    s->joinResult = self->Join() ? 1 : 0;
    s->waitResult = self->WaitFor(10) ? 1 : 0;
    delete self;   // detaches instead of joining itself
    s->done = true;
    return 0;
}

TEST(ThreadTest, JoinOnItselfFailsAndDeletingItselfDetaches) {
    static SelfOwned s;   // outlives the detached thread
    s.gate = talvex::CreateEvent(true, false);
    CWinThread* thread = talvex::BeginThread(&JoinSelfThenDeleteSelf, &s);
    ASSERT_NE(thread, nullptr);
    s.self = thread;
    talvex::SetEvent(s.gate);
    ASSERT_TRUE(testsupport::WaitUntil([] { return s.done.load(); }, 10s));
    EXPECT_EQ(s.joinResult.load(), 0);
    EXPECT_EQ(s.waitResult.load(), 0);
    talvex::CloseEvent(s.gate);
}

TEST(ThreadTest, NullRoutineStartsNothing) { EXPECT_EQ(talvex::BeginThread(nullptr, nullptr), nullptr); }

TEST(SystemTest, TickCountFollowsSleep) {
    const std::uint32_t before = talvex::GetTickCount();
    talvex::Sleep(50);
    const std::uint32_t elapsed = talvex::GetTickCount() - before;   // unsigned difference survives the wrap
    EXPECT_GE(elapsed, 49u);   // the tick truncates to whole milliseconds
    EXPECT_LT(elapsed, 60000u);
    talvex::Sleep(0);          // yields, returns at once
}

TEST(SystemTest, ComputerNameIsTheHostNameWidened) {
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    const CString name = talvex::GetComputerName();
    EXPECT_FALSE(name.IsEmpty());
    EXPECT_LE(name.GetLength(), 127);
    std::wstring expected;
    for (const char* c = host; *c != '\0' && expected.size() < 127; ++c) expected.push_back(static_cast<unsigned char>(*c));
    EXPECT_EQ(name.str(), expected);
}

}  // namespace
