#include "caller/SharedReceive.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/SocketError.h"

#include <cstring>

namespace talvex {

SharedReceive::SharedReceive()
    : m_ring(std::make_unique<std::array<Slot, kSlots>>()), m_attention(CreateEvent(true, false)) {}

SharedReceive::~SharedReceive() { CloseEvent(m_attention); }

void SharedReceive::Attach(int fd) {
    std::scoped_lock lock(m_readLock);
    m_fd = fd;
    ++m_generation;
}

int SharedReceive::SocketToWatch(int fd) {
    if (m_attention == nullptr) return fd;   // nothing could wake it again: never stand aside
    // Stand aside first, then look for waiters: a waiter that leaves either is still
    // counted here, or finds the dispatcher standing aside and wakes it.
    m_dispatcherStandsAside.store(true);
    if (m_waitersReading.load() > 0) return -1;
    m_dispatcherStandsAside.store(false);
    return fd;
}

void SharedReceive::WaiterLeave() {
    if (m_waitersReading.fetch_sub(1) == 1 && m_dispatcherStandsAside.exchange(false)) SetEvent(m_attention);
}

PendingDatagram SharedReceive::TakeForDispatcher(int fd, bool socketReadable, std::int32_t* words,
                                                 CSockAddr& sender) {
    std::scoped_lock lock(m_readLock);
    PendingDatagram taken;
    if (m_count > 0) {
        Slot& slot = (*m_ring)[m_head];
        taken = slot.taken;
        sender = slot.sender;
        if (taken.outcome == PendingDatagram::Outcome::kReceived) {
            std::memcpy(words, slot.words, static_cast<std::size_t>(taken.size));
        } else {
            WSASetLastError(slot.error);
        }
        m_head = (m_head + 1) % kSlots;
        --m_count;
    } else if (socketReadable && m_waitersReading.load() == 0) {
        taken = TakePendingDatagram(fd, words, kDatagramBytes, sender);
    }
    // Set while datagrams wait, or once to call the dispatcher back to the socket.
    if (m_count == 0) ResetEvent(m_attention);
    if (taken.outcome != PendingDatagram::Outcome::kNone) m_dispatcherHolds.store(true, std::memory_order_release);
    return taken;
}

SharedReceive::WaiterView SharedReceive::ForWaiter() {
    std::scoped_lock lock(m_readLock);
    // A full ring means the dispatcher is behind: the waiter leaves the socket to it.
    if (m_attention == nullptr || m_count == kSlots) return {-1, m_generation};
    return {m_fd, m_generation};
}

SharedReceive::WaiterRead SharedReceive::ReadOnWaiter(const WaiterView& view, TakeOnWaiter take, void* context) {
    std::scoped_lock lock(m_readLock);
    if (view.fd < 0 || view.generation != m_generation || m_fd < 0 || m_count == kSlots) return WaiterRead::kStop;
    CSockAddr sender;
    const PendingDatagram taken = TakePendingDatagram(m_fd, m_waiterWords, kDatagramBytes, sender);
    if (taken.outcome == PendingDatagram::Outcome::kNone) return WaiterRead::kNothing;
    if (taken.outcome == PendingDatagram::Outcome::kFailed) {
        // The dispatcher decides what a failure means for the socket.
        HandOff(taken, WSAGetLastError(), m_waiterWords, sender);
        return WaiterRead::kStop;
    }
    const bool earlierUnhandled = m_count > 0 || m_dispatcherHolds.load(std::memory_order_acquire);
    if (!earlierUnhandled && take(context, m_waiterWords, taken.size, sender)) return WaiterRead::kTaken;
    HandOff(taken, 0, m_waiterWords, sender);
    return WaiterRead::kHandedOff;
}

void SharedReceive::HandOff(const PendingDatagram& taken, int error, const std::int32_t* words,
                            const CSockAddr& sender) {
    Slot& slot = (*m_ring)[(m_head + m_count) % kSlots];
    slot.taken = taken;
    slot.error = error;
    slot.sender = sender;
    if (taken.outcome == PendingDatagram::Outcome::kReceived) {
        std::memcpy(slot.words, words, static_cast<std::size_t>(taken.size));
    }
    if (m_count++ == 0) SetEvent(m_attention);
}

}  // namespace talvex
