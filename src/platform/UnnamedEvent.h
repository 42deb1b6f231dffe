#pragma once
// UnnamedEvent: an event of one process over an eventfd. An atomic state word
// beside the descriptor answers "is it set?" without a system call; every change
// of the state happens under a small lock together with the matching change of
// the descriptor, so the descriptor is readable only while the event is set and
// is readable again whenever a set becomes visible to other threads.
#include "EventObject.h"
#include "OwnedDescriptor.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace talvex::detail {

class UnnamedEvent final : public EventObject {
public:
    // Nullptr when the system gives no eventfd.
    static std::unique_ptr<UnnamedEvent> Create(bool manualReset, bool initiallySet);

    bool Set() override;
    bool Reset() override;
    bool IsSet() const override;
    std::uint32_t Wait(std::uint32_t milliseconds) override;
    int PollDescriptor() const override { return m_descriptor.Get(); }
    // Manual reset: true while set. Automatic reset: takes the event (state and
    // descriptor cleared together); false when it is not set or another waiter won.
    bool TryTake() override;

    bool ManualReset() const { return m_manualReset; }

private:
    UnnamedEvent(OwnedDescriptor descriptor, bool manualReset, bool initiallySet);
    bool ClearLocked();

    OwnedDescriptor m_descriptor;
    const bool m_manualReset;
    std::atomic<std::uint32_t> m_state;   // 1 while set
    std::mutex m_transition;              // serialises 0->1 and 1->0 with the descriptor
};

}  // namespace talvex::detail
