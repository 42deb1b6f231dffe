#include "UnnamedEvent.h"

#include "talvex05u/platform/Event.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <new>
#include <unistd.h>

namespace talvex::detail {

namespace {
constexpr std::uint32_t kClear = 0;
constexpr std::uint32_t kSignalled = 1;
}  // namespace

std::unique_ptr<UnnamedEvent> UnnamedEvent::Create(bool manualReset, bool initiallySet) {
    return std::unique_ptr<UnnamedEvent>(new (std::nothrow) UnnamedEvent(manualReset, initiallySet));
}

UnnamedEvent::UnnamedEvent(bool manualReset, bool initiallySet)
    : m_manualReset(manualReset), m_state(initiallySet ? kSignalled : kClear) {}

UnnamedEvent::~UnnamedEvent() {
    const int descriptor = m_descriptor.load(std::memory_order_relaxed);
    if (descriptor >= 0) ::close(descriptor);
}

int UnnamedEvent::PollDescriptor() const {
    const int known = m_descriptor.load(std::memory_order_acquire);
    if (known >= 0) return known;
    std::lock_guard<std::mutex> lock(m_transition);
    if (m_descriptor.load(std::memory_order_relaxed) < 0) {
        // Born with the state as it stands: readable exactly while the event is set.
        const std::uint32_t initial = m_state.load(std::memory_order_relaxed) == kSignalled ? 1u : 0u;
        m_descriptor.store(::eventfd(initial, EFD_NONBLOCK | EFD_CLOEXEC), std::memory_order_release);
    }
    return m_descriptor.load(std::memory_order_relaxed);
}

bool UnnamedEvent::Set() {
    // Already set: a read-modify-write of the same value still publishes the
    // setter's earlier writes to whoever takes the event next, without a system call.
    std::uint32_t expected = kSignalled;
    if (m_state.compare_exchange_strong(expected, kSignalled, std::memory_order_acq_rel)) return true;

    std::lock_guard<std::mutex> lock(m_transition);
    if (m_state.load(std::memory_order_relaxed) == kSignalled) {
        m_state.fetch_or(kSignalled, std::memory_order_release);
        return true;
    }
    // State first, descriptor second (and the reverse when clearing): a waiter
    // that poll() wakes then always finds the state set, or the transition lock
    // held, and never spins on a readable descriptor with a clear state.
    m_state.store(kSignalled, std::memory_order_release);
    if (m_link != nullptr) m_link->wake(m_link->context);
    const int descriptor = m_descriptor.load(std::memory_order_relaxed);
    if (descriptor < 0) return true;   // nobody ever waited on it: the state word is all
    const std::uint64_t one = 1;
    ssize_t written;
    do {
        written = ::write(descriptor, &one, sizeof one);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(sizeof one)) return true;
    m_state.store(kClear, std::memory_order_release);
    return false;
}

LinkResult UnnamedEvent::LinkWake(const WakeLink* link) {
    std::lock_guard<std::mutex> lock(m_transition);
    if (m_state.load(std::memory_order_relaxed) == kSignalled) return LinkResult::kAlreadySet;
    m_link = link;
    return LinkResult::kLinked;
}

void UnnamedEvent::UnlinkWake() {
    std::lock_guard<std::mutex> lock(m_transition);
    m_link = nullptr;
}

bool UnnamedEvent::Reset() {
    if (m_state.load(std::memory_order_acquire) == kClear) return true;
    std::lock_guard<std::mutex> lock(m_transition);
    if (m_state.load(std::memory_order_relaxed) == kClear) return true;
    return ClearLocked();
}

bool UnnamedEvent::IsSet() const { return m_state.load(std::memory_order_acquire) == kSignalled; }

bool UnnamedEvent::TryTake() {
    if (m_state.load(std::memory_order_acquire) == kClear) return false;
    if (m_manualReset) return true;
    std::lock_guard<std::mutex> lock(m_transition);
    if (m_state.load(std::memory_order_acquire) == kClear) return false;   // another waiter won
    return ClearLocked();
}

// Drains the descriptor, then clears the state (descriptor first, see Set); the
// caller holds m_transition and has seen the state set, so the descriptor holds
// exactly one count.
bool UnnamedEvent::ClearLocked() {
    const int descriptor = m_descriptor.load(std::memory_order_relaxed);
    if (descriptor < 0) {
        m_state.store(kClear, std::memory_order_release);
        return true;
    }
    std::uint64_t count = 0;
    ssize_t got;
    do {
        got = ::read(descriptor, &count, sizeof count);
    } while (got < 0 && errno == EINTR);
    // EAGAIN cannot happen while the invariant holds; clear the state in any
    // case so that state and descriptor agree again.
    m_state.store(kClear, std::memory_order_release);
    return got == static_cast<ssize_t>(sizeof count) || errno == EAGAIN;
}

std::uint32_t UnnamedEvent::Wait(std::uint32_t milliseconds) {
    void* self = static_cast<EventObject*>(this);
    return WaitForEvents(&self, 1, milliseconds, false);
}

}  // namespace talvex::detail
