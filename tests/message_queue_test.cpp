// Per-thread message queues: posting by kernel thread id within and across
// processes, ranged retrieval that keeps other messages in order, malformed
// datagrams, and waits that wake on messages.
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kLongWaitMs = 10000;
constexpr std::uint32_t kTelegram = 1148;   // a message number the library itself uses

// Takes every message left in the calling thread's queue.
void DrainOwnQueue() {
    talvex::ThreadMessage m;
    for (int i = 0; i < 100 && talvex::PeekMessage(&m, 0, 0); ++i) {
    }
}

std::vector<std::uint32_t> PeekAllNumbers(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> numbers;
    talvex::ThreadMessage m;
    for (int i = 0; i < 100 && talvex::PeekMessage(&m, first, last); ++i) numbers.push_back(m.message);
    return numbers;
}

// Sends raw bytes to a thread's queue socket, as a foreign or broken sender would.
bool SendRawDatagram(std::uint32_t threadId, const void* bytes, std::size_t size) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "talvex05u-mq-" + std::to_string(threadId);
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const ssize_t sent = ::sendto(fd, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), length);
    ::close(fd);
    return sent == static_cast<ssize_t>(size);
}

// A thread that waits on a gate event and, when asked, owns a message queue.
struct GatedThread {
    explicit GatedThread(bool withQueue) : wantsQueue(withQueue) {
        thread.reset(talvex::BeginThread(&Run, this));
        EXPECT_EQ(talvex::WaitForEvent(ready, kLongWaitMs), talvex::kWaitObject0);
    }
    ~GatedThread() {
        talvex::SetEvent(gate);
        thread.reset();
        talvex::CloseEvent(gate);
        talvex::CloseEvent(ready);
    }
    static std::uint32_t Run(void* p) {
        auto* self = static_cast<GatedThread*>(p);
        if (self->wantsQueue) talvex::EnsureMessageQueue();
        talvex::SetEvent(self->ready);
        talvex::WaitForEvent(self->gate, kLongWaitMs);
        return 0;
    }
    bool wantsQueue;
    void* gate = talvex::CreateEvent(true, false);
    void* ready = talvex::CreateEvent(true, false);
    std::unique_ptr<CWinThread> thread;
};

TEST(MessageQueueTest, PostFailsToThreadsWithoutQueue) {
    EXPECT_FALSE(talvex::PostThreadMessage(0, kTelegram, 0, 0));
    {
        GatedThread noQueue(false);
        EXPECT_FALSE(talvex::PostThreadMessage(noQueue.thread->m_nThreadID, kTelegram, 0, 0));
    }
    std::uint32_t endedId = 0;
    {
        GatedThread withQueue(true);
        endedId = withQueue.thread->m_nThreadID;
        EXPECT_TRUE(talvex::PostThreadMessage(endedId, kTelegram, 0, 0));
    }
    EXPECT_FALSE(talvex::PostThreadMessage(endedId, kTelegram, 0, 0));   // closed when its thread ended
}

TEST(MessageQueueTest, PostToOwnQueueCarriesAllValues) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    const std::uint32_t self = talvex::GetCurrentThreadId();
    const std::uint64_t bigW = std::numeric_limits<std::uint64_t>::max();
    const std::int64_t negativeL = std::numeric_limits<std::int64_t>::min();
    ASSERT_TRUE(talvex::PostThreadMessage(self, 0x47D, bigW, negativeL));
    ASSERT_TRUE(talvex::PostThreadMessage(self, 1, 2, -3));
    talvex::ThreadMessage m;
    ASSERT_TRUE(talvex::PeekMessage(&m, 0, 0));
    EXPECT_EQ(m.message, 0x47Du);
    EXPECT_EQ(m.wParam, bigW);
    EXPECT_EQ(m.lParam, negativeL);
    ASSERT_TRUE(talvex::GetMessage(&m, 0, 0));
    EXPECT_EQ(m.message, 1u);
    EXPECT_EQ(m.wParam, 2u);
    EXPECT_EQ(m.lParam, -3);
    EXPECT_FALSE(talvex::PeekMessage(&m, 0, 0));
    EXPECT_FALSE(talvex::PeekMessage(nullptr, 0, 0));
    EXPECT_FALSE(talvex::GetMessage(nullptr, 0, 0));
}

TEST(MessageQueueTest, RangedRetrievalKeepsOtherMessagesInOrder) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    const std::uint32_t self = talvex::GetCurrentThreadId();
    for (std::uint32_t n : {5u, 100u, 6u, 200u, 7u, 150u}) ASSERT_TRUE(talvex::PostThreadMessage(self, n, n, 0));

    talvex::ThreadMessage m;
    ASSERT_TRUE(talvex::GetMessage(&m, 100, 200));
    EXPECT_EQ(m.message, 100u);
    ASSERT_TRUE(talvex::PeekMessage(&m, 6, 6));     // taken from between kept-aside messages
    EXPECT_EQ(m.message, 6u);
    EXPECT_EQ(PeekAllNumbers(100, 200), (std::vector<std::uint32_t>{200, 150}));
    EXPECT_EQ(PeekAllNumbers(100, 200), std::vector<std::uint32_t>{});
    ASSERT_TRUE(talvex::PostThreadMessage(self, 8, 0, 0));   // arrives after the kept-aside ones
    EXPECT_EQ(PeekAllNumbers(0, 0), (std::vector<std::uint32_t>{5, 7, 8}));
}

TEST(MessageQueueTest, BlockingGetOnAnotherThreadReceivesPost) {
    struct Receiver {
        void* ready = talvex::CreateEvent(true, false);
        talvex::ThreadMessage got;
        bool ok = false;
    } r;
    std::unique_ptr<CWinThread> thread(talvex::BeginThread(
        [](void* p) -> std::uint32_t {
            auto* receiver = static_cast<Receiver*>(p);
            talvex::EnsureMessageQueue();
            talvex::SetEvent(receiver->ready);
            receiver->ok = talvex::GetMessage(&receiver->got, kTelegram, kTelegram + 1);
            return 0;
        },
        &r));
    ASSERT_EQ(talvex::WaitForEvent(r.ready, kLongWaitMs), talvex::kWaitObject0);
    ASSERT_TRUE(talvex::PostThreadMessage(thread->m_nThreadID, 7, 0, 0));   // out of range: stays queued
    talvex::Sleep(10);
    EXPECT_FALSE(thread->HasEnded());
    ASSERT_TRUE(talvex::PostThreadMessage(thread->m_nThreadID, kTelegram + 1, 11, 12));
    ASSERT_TRUE(thread->WaitFor(kLongWaitMs));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.got.message, kTelegram + 1);
    EXPECT_EQ(r.got.wParam, 11u);
    EXPECT_EQ(r.got.lParam, 12);
    talvex::CloseEvent(r.ready);
}

TEST(MessageQueueTest, MalformedDatagramsAreIgnored) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    const std::uint32_t self = talvex::GetCurrentThreadId();
    const unsigned char shortOne[7] = {1, 2, 3, 4, 5, 6, 7};
    unsigned char wrongMagic[24] = {};
    std::memset(wrongMagic, 0xAB, sizeof wrongMagic);
    std::vector<unsigned char> longOne(4096, 0x5A);
    ASSERT_TRUE(SendRawDatagram(self, shortOne, sizeof shortOne));
    ASSERT_TRUE(SendRawDatagram(self, wrongMagic, sizeof wrongMagic));
    ASSERT_TRUE(SendRawDatagram(self, longOne.data(), longOne.size()));
    ASSERT_TRUE(SendRawDatagram(self, shortOne, 0));
    EXPECT_EQ(talvex::WaitForEvents(nullptr, 0, 0, true), talvex::kWaitTimeout);   // garbage is no message
    talvex::ThreadMessage m;
    EXPECT_FALSE(talvex::PeekMessage(&m, 0, 0));
    ASSERT_TRUE(SendRawDatagram(self, shortOne, sizeof shortOne));
    ASSERT_TRUE(talvex::PostThreadMessage(self, 9, 0, 0));
    ASSERT_TRUE(talvex::GetMessage(&m, 0, 0));
    EXPECT_EQ(m.message, 9u);
}

TEST(MessageQueueTest, WaitWakesOnMessageAndLeavesItQueued) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    void* event = talvex::CreateEvent(false, false);
    const std::uint32_t self = talvex::GetCurrentThreadId();
    std::unique_ptr<CWinThread> poster(talvex::BeginThread(
        [](void* p) -> std::uint32_t {
            talvex::Sleep(30);
            return talvex::PostThreadMessage(*static_cast<const std::uint32_t*>(p), kTelegram, 0, 0) ? 1 : 0;
        },
        const_cast<std::uint32_t*>(&self)));
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, kLongWaitMs, true), talvex::kWaitObject0 + 1);
    ASSERT_TRUE(poster->WaitFor(kLongWaitMs));
    EXPECT_EQ(poster->ExitCode(), 1u);

    // Still queued: without wakeOnMessages the wait ignores it; a set event wins over it.
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 20, false), talvex::kWaitTimeout);
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitObject0 + 1);
    talvex::SetEvent(event);
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitObject0);
    talvex::ThreadMessage m;
    ASSERT_TRUE(talvex::PeekMessage(&m, 0, 0));
    EXPECT_EQ(m.message, kTelegram);
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitTimeout);
    talvex::CloseEvent(event);
}

TEST(MessageQueueTest, WaitOnMessagesWithoutQueueOnlyTimesOut) {
    std::unique_ptr<CWinThread> thread(talvex::BeginThread(
        [](void*) -> std::uint32_t { return talvex::WaitForEvents(nullptr, 0, 20, true); }, nullptr));
    ASSERT_TRUE(thread->WaitFor(kLongWaitMs));
    EXPECT_EQ(thread->ExitCode(), talvex::kWaitTimeout);
}

TEST(MessageQueueTest, ClosedQueueRefusesPostsUntilRecreated) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    const std::uint32_t self = talvex::GetCurrentThreadId();
    ASSERT_TRUE(talvex::PostThreadMessage(self, 3, 0, 0));
    talvex::CloseMessageQueue();
    EXPECT_FALSE(talvex::PostThreadMessage(self, 3, 0, 0));
    talvex::ThreadMessage m;
    EXPECT_FALSE(talvex::PeekMessage(&m, 0, 0));   // recreates an empty queue: the old message is gone
    EXPECT_TRUE(talvex::PostThreadMessage(self, 4, 0, 0));
    ASSERT_TRUE(talvex::PeekMessage(&m, 0, 0));
    EXPECT_EQ(m.message, 4u);
}

// A forked child must not read its parent's queue: its thread has a new id and a
// queue of its own.
TEST(MessageQueueTest, ForkedChildGetsItsOwnQueue) {
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    const std::uint32_t parent = talvex::GetCurrentThreadId();
    ASSERT_TRUE(talvex::PostThreadMessage(parent, 1, 0, 0));   // must stay for the parent
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int failures = 0;
        if (talvex::GetCurrentThreadId() != static_cast<std::uint32_t>(::getpid())) failures |= 1;
        talvex::ThreadMessage m;
        if (talvex::PeekMessage(&m, 0, 0)) failures |= 2;                       // fresh, empty queue
        if (!talvex::PostThreadMessage(talvex::GetCurrentThreadId(), 5, 0, 0)) failures |= 4;
        if (!talvex::PeekMessage(&m, 0, 0) || m.message != 5) failures |= 8;
        if (!talvex::PostThreadMessage(parent, 2, 0, 0)) failures |= 16;
        ::_exit(failures);
    }
    int status = -1;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 10s));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(PeekAllNumbers(0, 0), (std::vector<std::uint32_t>{1, 2}));
}

// The helper's path from the environment, else beside this test program.
std::string PeerProgram() {
    std::string path = testsupport::HelperPath("mq_peer");
    if (!path.empty()) return path;
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    path.assign(self, static_cast<std::size_t>(length));
    path = path.substr(0, path.rfind('/') + 1) + "helper_mq_peer";
    return ::access(path.c_str(), X_OK) == 0 ? path : "";
}

TEST(MessageQueueTest, PostsFromAnotherProcessArrive) {
    const std::string peer = PeerProgram();
    if (peer.empty()) GTEST_SKIP() << "helper mq_peer not built";
    ASSERT_TRUE(talvex::EnsureMessageQueue());
    DrainOwnQueue();
    const std::string self = std::to_string(talvex::GetCurrentThreadId());
    constexpr int kCount = 8;   // below the system's smallest per-socket datagram queue
    testsupport::ChildProcess child(peer, {self, std::to_string(kTelegram), std::to_string(kCount)});
    ASSERT_TRUE(child.Started());
    std::string line;
    ASSERT_TRUE(child.ReadLine(&line, 10s));
    EXPECT_EQ(line, "posted " + std::to_string(kCount));
    EXPECT_EQ(child.Wait(10s), 0);
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(talvex::WaitForEvents(nullptr, 0, kLongWaitMs, true), talvex::kWaitObject0);
        talvex::ThreadMessage m;
        ASSERT_TRUE(talvex::GetMessage(&m, kTelegram, kTelegram));
        EXPECT_EQ(m.wParam, static_cast<std::uint64_t>(i));
        EXPECT_EQ(m.lParam, -i);
    }

    GatedThread noQueue(false);
    testsupport::ChildProcess refused(peer, {std::to_string(noQueue.thread->m_nThreadID), "1", "1"});
    ASSERT_TRUE(refused.ReadLine(&line, 10s));
    EXPECT_EQ(line, "posted 0");
    EXPECT_EQ(refused.Wait(10s), 1);
}

}  // namespace
