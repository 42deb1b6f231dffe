// Unnamed events: reset semantics, waits on one and several events, hand-over
// between threads, agreement of the state word with the eventfd under load, and the
// wake-up linked to an event while a thread sleeps elsewhere.
#include "talvex05u/platform/Event.h"

#include "platform/EventObject.h"
#include "platform/WakeLink.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <poll.h>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kLongWaitMs = 10000;

using EventHandle = std::unique_ptr<void, decltype(&talvex::CloseEvent)>;

EventHandle MakeEvent(bool manualReset, bool initiallySet = false) {
    EventHandle event(talvex::CreateEvent(manualReset, initiallySet), &talvex::CloseEvent);
    EXPECT_NE(event, nullptr);
    return event;
}

// True when the event's poll descriptor is readable right now.
bool DescriptorReadable(void* event) {
    pollfd fd{talvex::detail::AsEventObject(event)->PollDescriptor(), POLLIN, 0};
    return ::poll(&fd, 1, 0) == 1 && (fd.revents & POLLIN) != 0;
}

TEST(EventTest, WaitConsumesOnlyAutomaticEvents) {
    for (bool manual : {true, false})
        for (bool initiallySet : {true, false}) {
            SCOPED_TRACE(std::to_string(manual) + std::to_string(initiallySet));
            EventHandle event = MakeEvent(manual, initiallySet);
            EXPECT_EQ(std::make_tuple(talvex::IsEventSet(event.get()), DescriptorReadable(event.get())), std::make_tuple(initiallySet, initiallySet));
            if (!initiallySet) {
                EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitTimeout);
                ASSERT_TRUE(talvex::SetEvent(event.get()));
                ASSERT_TRUE(talvex::SetEvent(event.get()));   // a second set changes nothing
            }
            EXPECT_TRUE(talvex::IsEventSet(event.get()));   // looking does not consume
            EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitObject0);
            EXPECT_EQ(std::make_tuple(talvex::IsEventSet(event.get()), DescriptorReadable(event.get())), std::make_tuple(manual, manual));
            EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), manual ? talvex::kWaitObject0 : talvex::kWaitTimeout);
            ASSERT_TRUE(talvex::ResetEvent(event.get()) && talvex::ResetEvent(event.get()));
            EXPECT_FALSE(DescriptorReadable(event.get()));
            EXPECT_EQ(talvex::WaitForEvent(event.get(), 0), talvex::kWaitTimeout);
        }
}

TEST(EventTest, WaitForEventsTakesTheLowestSetIndexOrTimesOutAndBadHandlesFailCleanly) {
    EXPECT_EQ(std::make_tuple(talvex::WaitForEvent(nullptr, 0), talvex::SetEvent(nullptr), talvex::ResetEvent(nullptr), talvex::IsEventSet(nullptr)),
              std::make_tuple(talvex::kWaitFailed, false, false, false));
    talvex::CloseEvent(nullptr);
    EventHandle event = MakeEvent(true, true);
    void* withNull[2] = {event.get(), nullptr};
    EXPECT_EQ(std::make_tuple(talvex::WaitForEvents(withNull, 2, 0), talvex::WaitForEvents(nullptr, 1, 0)), std::make_tuple(talvex::kWaitFailed, talvex::kWaitFailed));
    std::vector<void*> many(talvex::kMaximumWaitObjects + 1, event.get());
    EXPECT_EQ(talvex::WaitForEvents(many.data(), talvex::kMaximumWaitObjects + 1, 0), talvex::kWaitFailed);
    EXPECT_EQ(talvex::WaitForEvents(many.data(), talvex::kMaximumWaitObjects, 0), talvex::kWaitObject0);

    // The lowest set index is taken; nothing set: the wait times out.
    EventHandle owned[4] = {MakeEvent(false), MakeEvent(false), MakeEvent(true), MakeEvent(false)};
    void* events[4] = {owned[0].get(), owned[1].get(), owned[2].get(), owned[3].get()};
    talvex::SetEvent(events[3]), talvex::SetEvent(events[1]);
    EXPECT_EQ(talvex::WaitForEvents(events, 4, 0), talvex::kWaitObject0 + 1);
    EXPECT_TRUE(talvex::IsEventSet(events[3]));   // the later one was not taken
    EXPECT_EQ(talvex::WaitForEvents(events, 4, 0), talvex::kWaitObject0 + 3);
    auto start = Clock::now();
    EXPECT_EQ(talvex::WaitForEvents(events, 4, 60), talvex::kWaitTimeout);
    EXPECT_GE(Clock::now() - start, 60ms);
    start = Clock::now();
    EXPECT_EQ(talvex::WaitForEvents(nullptr, 0, 30), talvex::kWaitTimeout);   // no handles: a plain timed wait
    EXPECT_GE(Clock::now() - start, 30ms);
}

// Threads wait on {event, stop}: a manual event releases them all, an automatic one
// exactly one waiter per set.
TEST(EventTest, ManualReleasesEveryWaiterAutomaticOnePerSet) {
    for (bool manual : {true, false}) {
        SCOPED_TRACE(manual);
        EventHandle event = MakeEvent(manual), stop = MakeEvent(true);
        constexpr int kWaiters = 4;
        std::atomic<int> taken{0};
        std::vector<std::thread> waiters;
        for (int i = 0; i < kWaiters; ++i)
            waiters.emplace_back([&] {
                void* events[2] = {event.get(), stop.get()};
                for (int n = 0; n < 10 && talvex::WaitForEvents(events, 2, kLongWaitMs) == talvex::kWaitObject0; ++n) {
                    ++taken;
                    if (manual) return;
                }
            });
        std::this_thread::sleep_for(20ms);
        for (int round = 1; round <= (manual ? 1 : 3); ++round) {
            talvex::SetEvent(event.get());
            const int expected = manual ? kWaiters : round;
            EXPECT_TRUE(testsupport::WaitUntil([&] { return taken.load() >= expected; }, 5s));
            std::this_thread::sleep_for(20ms);   // give a wrongly released waiter time to show
            EXPECT_EQ(taken.load(), expected);
        }
        EXPECT_EQ(talvex::IsEventSet(event.get()), manual);
        talvex::SetEvent(stop.get());
        for (auto& t : waiters) t.join();
    }
}

// Two threads hand a token back and forth with automatic events, with and without
// spinning: a lost or duplicated set shows as a time-out or a count mismatch.
TEST(EventTest, PingPongLosesNoSet) {
    for (std::uint32_t spin : {0u, 2000u}) {
        talvex::SetWaitSpinIterations(spin);
        EventHandle ping = MakeEvent(false), pong = MakeEvent(false);
        constexpr int kRounds = 2000;
        int payload = 0;   // written by one side before each set, read by the other after its wait
        std::atomic<bool> failed{false};
        std::thread partner([&] {
            for (int i = 0; i < kRounds && !failed; ++i) {
                if (talvex::WaitForEvent(ping.get(), kLongWaitMs) != talvex::kWaitObject0) failed = true;
                ++payload;
                talvex::SetEvent(pong.get());
            }
        });
        const auto start = Clock::now();
        for (int i = 0; i < kRounds && !failed; ++i) {
            talvex::SetEvent(ping.get());
            if (talvex::WaitForEvent(pong.get(), kLongWaitMs) != talvex::kWaitObject0 || Clock::now() - start > 30s) failed = true;
        }
        if (failed) talvex::SetEvent(ping.get());
        partner.join();
        talvex::SetWaitSpinIterations(0);
        EXPECT_EQ(std::make_tuple(failed.load(), payload), std::make_tuple(false, kRounds)) << "spin " << spin;
    }
}

// Threads set, reset and wait on one manual and one automatic event at once;
// afterwards each event's state word and descriptor must agree.
TEST(EventTest, StateAndDescriptorAgreeAfterConcurrentSetResetWait) {
    EventHandle manual = MakeEvent(true), automatic = MakeEvent(false);
    void* both[2] = {manual.get(), automatic.get()};
    const auto deadline = Clock::now() + 20s;
    std::vector<std::thread> threads;
    for (int role = 0; role < 4; ++role) {
        threads.emplace_back([&, role] {
            for (int i = 0; i < 3000 && Clock::now() < deadline; ++i) {
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
        EXPECT_TRUE(talvex::SetEvent(event) && DescriptorReadable(event));
        EXPECT_TRUE(talvex::ResetEvent(event) && !DescriptorReadable(event));
    }
}

// The link runs exactly on the set that comes while it is linked, from the setting
// thread, and never for an event set before the link or after the unlink.
TEST(EventTest, ALinkedWakeRunsOnceForTheSetThatComesWhileLinked) {
    EventHandle manual = MakeEvent(true);
    std::atomic<int> runs{0};
    const talvex::WakeLink link{[](void* count) { ++*static_cast<std::atomic<int>*>(count); }, &runs};

    ASSERT_EQ(talvex::LinkResult::kLinked, talvex::LinkWakeToEvent(manual.get(), &link));
    std::thread setter([&] { talvex::SetEvent(manual.get()); });
    setter.join();
    talvex::SetEvent(manual.get());   // already set: no second wake
    EXPECT_EQ(1, runs.load());
    talvex::UnlinkWake(manual.get());

    EXPECT_EQ(talvex::LinkResult::kAlreadySet, talvex::LinkWakeToEvent(manual.get(), &link));
    talvex::ResetEvent(manual.get());
    talvex::SetEvent(manual.get());
    EXPECT_EQ(1, runs.load()) << "ran without a link";
    EXPECT_EQ(talvex::LinkResult::kNotLinkable, talvex::LinkWakeToEvent(nullptr, &link));
}

}  // namespace
