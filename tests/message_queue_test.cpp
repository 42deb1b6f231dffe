// Per-thread message queues: posting by kernel thread id (across processes: the
// shared-memory channel test), ranged retrieval, malformed datagrams, and waits that wake on messages.
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/MessageQueue.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/platform/Thread.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <pwd.h>
#include <limits>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint32_t kLongWaitMs = 10000;
constexpr std::uint32_t kTelegram = 1148;   // a message number the library itself uses

// The calling thread's queue, created and emptied.
std::uint32_t FreshOwnQueue() {
    EXPECT_TRUE(talvex::EnsureMessageQueue());
    talvex::ThreadMessage m;
    for (int i = 0; i < 100 && talvex::PeekMessage(&m, 0, 0); ++i) continue;
    return talvex::GetCurrentThreadId();
}

std::vector<std::uint32_t> PeekAllNumbers(std::uint32_t first, std::uint32_t last) {
    std::vector<std::uint32_t> numbers;
    talvex::ThreadMessage m;
    for (int i = 0; i < 100 && talvex::PeekMessage(&m, first, last); ++i) numbers.push_back(m.message);
    return numbers;
}

// Sends raw bytes to a thread's queue socket, as a broken sender would.
bool SendRawDatagram(std::uint32_t threadId, const void* bytes, std::size_t size) {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/dev/shm/talvex05u-mq.%u/%u", ::geteuid(), threadId);
    const ssize_t sent = ::sendto(fd, bytes, size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::close(fd);
    return fd >= 0 && sent == static_cast<ssize_t>(size);
}

// (Thread id 0: ChannelTest.OwnSideAloneRefusesWhatItCannotDo.)
TEST(MessageQueueTest, PostFailsToThreadsWithoutQueue) {
    std::uint32_t ended = 0;
    bool postedOnlyToTheQueue = false;
    std::thread([&] {
        ended = talvex::GetCurrentThreadId();
        const bool withoutQueue = talvex::PostThreadMessage(ended, kTelegram, 0, 0);
        postedOnlyToTheQueue = !withoutQueue && talvex::EnsureMessageQueue() && talvex::PostThreadMessage(ended, kTelegram, 0, 0);
    }).join();
    EXPECT_TRUE(postedOnlyToTheQueue);
    EXPECT_FALSE(talvex::PostThreadMessage(ended, kTelegram, 0, 0));   // closed when its thread ended
}

TEST(MessageQueueTest, RangedRetrievalMalformedDatagramsAndWaitsThatWakeOnMessages) {
    const std::uint32_t self = FreshOwnQueue();
    const std::uint64_t bigW = std::numeric_limits<std::uint64_t>::max();
    const std::int64_t negativeL = std::numeric_limits<std::int64_t>::min();
    for (std::uint32_t n : {5u, 100u, 6u, 200u, 7u, 150u}) ASSERT_TRUE(talvex::PostThreadMessage(self, n, bigW - n, negativeL + n));
    talvex::ThreadMessage m;
    ASSERT_TRUE(talvex::GetMessage(&m, 100, 200));
    EXPECT_EQ(std::make_tuple(m.message, m.wParam, m.lParam), std::make_tuple(100u, bigW - 100, negativeL + 100));
    ASSERT_TRUE(talvex::PeekMessage(&m, 6, 6));   // taken from between kept-aside messages
    EXPECT_EQ(m.message, 6u);
    EXPECT_EQ(PeekAllNumbers(100, 200), (std::vector<std::uint32_t>{200, 150}));
    EXPECT_EQ(PeekAllNumbers(100, 200), std::vector<std::uint32_t>{});
    ASSERT_TRUE(talvex::PostThreadMessage(self, 8, 0, 0));   // arrives after the kept-aside ones
    EXPECT_EQ(PeekAllNumbers(0, 0), (std::vector<std::uint32_t>{5, 7, 8}));
    EXPECT_FALSE(talvex::PeekMessage(nullptr, 0, 0) || talvex::GetMessage(nullptr, 0, 0));

    // Malformed datagrams are ignored.
    const unsigned char shortOne[7] = {1, 2, 3, 4, 5, 6, 7};
    const std::vector<unsigned char> wrongMagic(24, 0xAB), longOne(4096, 0x5A);
    ASSERT_TRUE(SendRawDatagram(self, shortOne, sizeof shortOne) && SendRawDatagram(self, shortOne, 0));
    ASSERT_TRUE(SendRawDatagram(self, wrongMagic.data(), wrongMagic.size()) && SendRawDatagram(self, longOne.data(), longOne.size()));
    EXPECT_EQ(talvex::WaitForEvents(nullptr, 0, 0, true), talvex::kWaitTimeout);   // garbage is no message
    EXPECT_FALSE(talvex::PeekMessage(&m, 0, 0));
    ASSERT_TRUE(talvex::PostThreadMessage(self, 9, 0, 0));
    ASSERT_TRUE(talvex::GetMessage(&m, 0, 0));
    EXPECT_EQ(m.message, 9u);

    // A wait wakes on a message and leaves it queued.
    void* event = talvex::CreateEvent(false, false);
    std::thread poster([self] {
        talvex::Sleep(30);
        EXPECT_TRUE(talvex::PostThreadMessage(self, kTelegram, 0, 0));
    });
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, kLongWaitMs, true), talvex::kWaitObject0 + 1);
    poster.join();
    // Still queued: without wakeOnMessages the wait ignores it; a set event wins over it.
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 20, false), talvex::kWaitTimeout);
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitObject0 + 1);
    talvex::SetEvent(event);
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitObject0);
    EXPECT_EQ(PeekAllNumbers(0, 0), std::vector<std::uint32_t>{kTelegram});
    EXPECT_EQ(talvex::WaitForEvents(&event, 1, 0, true), talvex::kWaitTimeout);
    talvex::CloseEvent(event);
}

// Another user (nobody) cannot post to our queues, and a queue directory that
// another user made first fails the queue and the posts instead of diverting them.
TEST(MessageQueueTest, AnotherUserNeitherReachesNorDivertsAQueue) {
    if (const std::string why = testsupport::WhyNoOtherUser(); !why.empty()) GTEST_SKIP() << why;
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::uint32_t self = FreshOwnQueue();
    EXPECT_EQ(testsupport::OtherUserSays({"post", std::to_string(self), "1149"}), "not posted");
    talvex::ThreadMessage m;
    EXPECT_FALSE(talvex::PeekMessage(&m, 0, 0));
    const std::filesystem::path squatted = "/dev/shm/talvex05u-mq." + std::to_string(nobody->pw_uid);
    std::filesystem::remove_all(squatted);
    std::filesystem::create_directory(squatted);   // ours (root's), open to all: not nobody's
    std::filesystem::permissions(squatted, std::filesystem::perms::all);
    EXPECT_EQ(testsupport::OtherUserSays({"queue"}), "queue 0 post 0");
    std::filesystem::remove_all(squatted);
    EXPECT_EQ(testsupport::OtherUserSays({"queue"}), "queue 1 post 1");   // its own directory: works
}

}  // namespace
