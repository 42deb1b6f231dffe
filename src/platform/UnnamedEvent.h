#pragma once
// UnnamedEvent: an event of one process over an eventfd. An atomic state word
// answers "is it set?" without a system call; the eventfd is made only when some
// thread first waits on the event, so an event nobody waits on is set and reset
// without any system call. Every change of the state happens under a small lock
// together with the matching change of the descriptor (when there is one), so the
// descriptor is readable only while the event is set.
#include "EventObject.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace talvex::detail {

class UnnamedEvent final : public EventObject {
public:
    // Nullptr when the object cannot be made.
    static std::unique_ptr<UnnamedEvent> Create(bool manualReset, bool initiallySet);

    bool Set() override;
    bool Reset() override;
    bool IsSet() const override;
    std::uint32_t Wait(std::uint32_t milliseconds) override;
    // Made on first use; -1 when the system gives no eventfd (waits then look at the
    // state word in short slices).
    int PollDescriptor() const override;
    // Manual reset: true while set. Automatic reset: takes the event (state and
    // descriptor cleared together); false when it is not set or another waiter won.
    bool TryTake() override;
    LinkResult LinkWake(const WakeLink* link) override;
    void UnlinkWake() override;

    bool ManualReset() const { return m_manualReset; }
    ~UnnamedEvent() override;

private:
    UnnamedEvent(bool manualReset, bool initiallySet);
    bool ClearLocked();

    const bool m_manualReset;
    std::atomic<std::uint32_t> m_state;        // 1 while set
    mutable std::atomic<int> m_descriptor{-1};  // the eventfd, once a waiter asked for it
    mutable std::mutex m_transition;           // serialises 0->1 and 1->0 with the descriptor
    const WakeLink* m_link = nullptr;          // run on 0->1; guarded by m_transition
};

}  // namespace talvex::detail
