// Unnamed events: reset semantics, waits on one and several events, hand-over
// between threads, and agreement of the state word with the eventfd under load.
#include "talvex05u/platform/Event.h"

#include "platform/EventObject.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <poll.h>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous limit for waits that are expected to succeed.
constexpr std::uint32_t kLongWaitMs = 10000;

struct EventCloser {
    void operator()(void* event) const { talvex::CloseEvent(event); }
};
using EventHandle = std::unique_ptr<void, EventCloser>;

EventHandle MakeEvent(bool manualReset, bool initiallySet) {
    EventHandle event(talvex::CreateEvent(manualReset, initiallySet));
    EXPECT_NE(event, nullptr);
    return event;
}

// True when the event's poll descriptor is readable right now.
bool DescriptorReadable(void* event) {
    pollfd fd{talvex::detail::AsEventObject(event)->PollDescriptor(), POLLIN, 0};
    return ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0;
}

struct ResetCase {
    bool manualReset;
    bool initiallySet;
    bool setAfterFirstWait;   // expected state after one successful wait
};

class EventResetTest : public ::testing::TestWithParam<ResetCase> {};

TEST_P(EventResetTest, WaitConsumesOnlyAutomaticEvents) {
    const ResetCase c = GetParam();
    EventHandle event = MakeEvent(c.manualReset, c.initiallySet);
    EXPECT_EQ(talvex::IsEventSet(event.get()), c.initiallySet);
    EXPECT_EQ(DescriptorReadable(event.get()), c.initiallySet);
    if (!c.initiallySet) {
        EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitTimeout);
        ASSERT_TRUE(talvex::SetEvent(event.get()));
        ASSERT_TRUE(talvex::SetEvent(event.get()));   // a second set changes nothing
    }
    EXPECT_TRUE(talvex::IsEventSet(event.get()));      // looking does not consume
    EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitObject0);
    EXPECT_EQ(talvex::IsEventSet(event.get()), c.setAfterFirstWait);
    EXPECT_EQ(DescriptorReadable(event.get()), c.setAfterFirstWait);
    EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), c.setAfterFirstWait ? talvex::kWaitObject0 : talvex::kWaitTimeout);

    ASSERT_TRUE(talvex::ResetEvent(event.get()));
    ASSERT_TRUE(talvex::ResetEvent(event.get()));
    EXPECT_FALSE(talvex::IsEventSet(event.get()));
    EXPECT_FALSE(DescriptorReadable(event.get()));
    EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitTimeout);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventResetTest,
                         ::testing::Values(ResetCase{true, false, true}, ResetCase{true, true, true},
                                           ResetCase{false, false, false}, ResetCase{false, true, false}));

TEST(EventTest, BadHandlesAndArgumentsFailCleanly) {
    EXPECT_EQ(talvex::WaitForEvent(nullptr, 0), talvex::kWaitFailed);
    EXPECT_FALSE(talvex::SetEvent(nullptr));
    EXPECT_FALSE(talvex::ResetEvent(nullptr));
    EXPECT_FALSE(talvex::IsEventSet(nullptr));
    talvex::CloseEvent(nullptr);

    EventHandle event = MakeEvent(true, true);
    void* withNull[2] = {event.get(), nullptr};
    EXPECT_EQ(talvex::WaitForEvents(withNull, 2, 0), talvex::kWaitFailed);
    EXPECT_EQ(talvex::WaitForEvents(nullptr, 1, 0), talvex::kWaitFailed);
    std::vector<void*> tooMany(talvex::kMaximumWaitObjects + 1, event.get());
    EXPECT_EQ(talvex::WaitForEvents(tooMany.data(), static_cast<std::uint32_t>(tooMany.size()), 0),
              talvex::kWaitFailed);
    std::vector<void*> most(talvex::kMaximumWaitObjects, event.get());
    EXPECT_EQ(talvex::WaitForEvents(most.data(), talvex::kMaximumWaitObjects, 0), talvex::kWaitObject0);
}

TEST(EventTest, WaitForEventsReturnsLowestSetIndexAndTakesOnlyThatOne) {
    std::vector<EventHandle> owned;
    std::vector<void*> events;
    for (int i = 0; i < 4; ++i) {
        owned.push_back(MakeEvent(false, false));
        events.push_back(owned.back().get());
    }
    talvex::SetEvent(events[3]);
    talvex::SetEvent(events[1]);
    EXPECT_EQ(talvex::WaitForEvents(events.data(), 4, 0), talvex::kWaitObject0 + 1);
    EXPECT_TRUE(talvex::IsEventSet(events[3]));       // the later one was not taken
    EXPECT_EQ(talvex::WaitForEvents(events.data(), 4, 0), talvex::kWaitObject0 + 3);
    EXPECT_EQ(talvex::WaitForEvents(events.data(), 4, 0), talvex::kWaitTimeout);
}

TEST(EventTest, WaitTimesOutAfterRoughlyTheTimeGiven) {
    EventHandle a = MakeEvent(true, false);
    EventHandle b = MakeEvent(false, false);
    void* events[2] = {a.get(), b.get()};
    const auto start = Clock::now();
    EXPECT_EQ(talvex::WaitForEvents(events, 2, 60), talvex::kWaitTimeout);
    EXPECT_GE(Clock::now() - start, 60ms);
    const auto startEmpty = Clock::now();
    EXPECT_EQ(talvex::WaitForEvents(nullptr, 0, 30), talvex::kWaitTimeout);   // no handles: a plain timed wait
    EXPECT_GE(Clock::now() - startEmpty, 30ms);
}

TEST(EventTest, WaitEndsWhenAnotherThreadSets) {
    EventHandle quiet = MakeEvent(true, false);
    EventHandle wanted = MakeEvent(false, false);
    std::thread setter([&] {
        std::this_thread::sleep_for(30ms);
        talvex::SetEvent(wanted.get());
    });
    void* events[2] = {quiet.get(), wanted.get()};
    EXPECT_EQ(talvex::WaitForEvents(events, 2, kLongWaitMs), talvex::kWaitObject0 + 1);
    setter.join();
    EXPECT_FALSE(talvex::IsEventSet(wanted.get()));
}

TEST(EventTest, ManualEventReleasesEveryWaiter) {
    EventHandle event = MakeEvent(true, false);
    constexpr int kWaiters = 4;
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            if (talvex::WaitForEvent(event.get(), kLongWaitMs) == talvex::kWaitObject0) ++released;
        });
    }
    std::this_thread::sleep_for(20ms);
    talvex::SetEvent(event.get());
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), kWaiters);
    EXPECT_TRUE(talvex::IsEventSet(event.get()));
}

TEST(EventTest, AutomaticEventReleasesOneWaiterPerSet) {
    EventHandle event = MakeEvent(false, false);
    EventHandle stop = MakeEvent(true, false);
    constexpr int kWaiters = 3;
    std::atomic<int> taken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&] {
            void* events[2] = {event.get(), stop.get()};
            while (talvex::WaitForEvents(events, 2, kLongWaitMs) == talvex::kWaitObject0) ++taken;
        });
    }
    std::this_thread::sleep_for(20ms);
    for (int round = 1; round <= 3; ++round) {
        talvex::SetEvent(event.get());
        EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load() >= round; }, 5s));
        std::this_thread::sleep_for(20ms);   // give a wrongly released second waiter time to show
        EXPECT_EQ(taken.load(), round);
    }
    talvex::SetEvent(stop.get());
    for (auto& t : waiters) t.join();
    EXPECT_EQ(taken.load(), 3);
}

// Two threads hand a token back and forth with automatic events: a lost or
// duplicated set shows as a time-out or a count mismatch. Run with and without spin.
class EventPingPongTest : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(EventPingPongTest, NoSetIsLost) {
    talvex::SetWaitSpinIterations(GetParam());
    EventHandle ping = MakeEvent(false, false);
    EventHandle pong = MakeEvent(false, false);
    constexpr int kRounds = 2000;
    int payload = 0;   // written by one side before each set, read by the other after its wait
    std::atomic<bool> failed{false};
    std::thread partner([&] {
        for (int i = 0; i < kRounds && !failed; ++i) {
            if (talvex::WaitForEvent(ping.get(), kLongWaitMs) != talvex::kWaitObject0) { failed = true; break; }
            ++payload;
            talvex::SetEvent(pong.get());
        }
    });
    const auto start = Clock::now();
    for (int i = 0; i < kRounds && !failed; ++i) {
        talvex::SetEvent(ping.get());
        if (talvex::WaitForEvent(pong.get(), kLongWaitMs) != talvex::kWaitObject0) failed = true;
        if (Clock::now() - start > 30s) failed = true;
    }
    if (failed) talvex::SetEvent(ping.get());
    partner.join();
    talvex::SetWaitSpinIterations(0);
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(payload, kRounds);
}

INSTANTIATE_TEST_SUITE_P(Spin, EventPingPongTest, ::testing::Values(0u, 2000u));

// Several threads set, reset and wait on one manual and one automatic event at
// once; afterwards each event's state word and descriptor must agree.
TEST(EventTest, StateAndDescriptorAgreeAfterConcurrentSetResetWait) {
    EventHandle manual = MakeEvent(true, false);
    EventHandle automatic = MakeEvent(false, false);
    void* both[2] = {manual.get(), automatic.get()};
    constexpr int kIterations = 3000;
    const auto deadline = Clock::now() + 20s;
    std::vector<std::thread> threads;
    for (int role = 0; role < 4; ++role) {
        threads.emplace_back([&, role] {
            for (int i = 0; i < kIterations && Clock::now() < deadline; ++i) {
                switch ((role + i) % 4) {
                    case 0: talvex::SetEvent(both[i % 2]); break;
                    case 1: talvex::ResetEvent(both[i % 2]); break;
                    case 2: talvex::WaitForEvents(both, 2, 1); break;
                    default: talvex::WaitForEvent(both[(i + 1) % 2], 0); break;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    for (void* event : both) {
        EXPECT_EQ(talvex::IsEventSet(event), DescriptorReadable(event));
        talvex::SetEvent(event);
        EXPECT_TRUE(DescriptorReadable(event));
        talvex::ResetEvent(event);
        EXPECT_FALSE(DescriptorReadable(event));
    }
}

}  // namespace
