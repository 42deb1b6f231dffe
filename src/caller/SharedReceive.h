#pragma once
// The caller's unicast socket is read by the dispatch thread, or, while a call waits,
// by the waiting thread, so that a return is taken where it is awaited without a
// hand-off between threads. While a waiter reads, the dispatcher leaves the socket
// alone (it would only race the waiter for the datagram) and is woken again when the
// last waiter leaves. One lock orders the reads; a datagram the waiting thread may
// not act on goes to the dispatcher through a fixed ring, in arrival order, ahead of
// anything the dispatcher reads later. The waiting thread acts only on a datagram
// when nothing read before it is still unhandled, so nothing it takes overtakes an
// earlier datagram (the chunks of a return before its final packet).
#include "socket/PendingDatagram.h"
#include "talvex05u/socket/SockAddr.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace talvex {

class SharedReceive {
public:
    static constexpr int kDatagramBytes = 2048;

    // What a waiting thread did with one datagram it read.
    enum class WaiterRead {
        kNothing,     // nothing was waiting after all
        kTaken,       // the waiter acted on it itself
        kHandedOff,   // it waits for the dispatcher
        kStop,        // do not read the socket again during this wait
    };
    // Decides, on the waiting thread and under the read lock, whether it acts on a
    // datagram itself; true when it did. Never called while an earlier datagram is
    // still unhandled.
    using TakeOnWaiter = bool (*)(void* context, const std::int32_t* words, int size, const CSockAddr& sender);

    // The socket a waiting thread may read, and a count that changes whenever it does.
    struct WaiterView {
        int fd = -1;   // -1: do not read
        std::uint64_t generation = 0;
    };

    SharedReceive();
    ~SharedReceive();
    SharedReceive(const SharedReceive&) = delete;
    SharedReceive& operator=(const SharedReceive&) = delete;

    // Makes `fd` the socket waiting threads may read, or none (-1). Called before the
    // socket is closed or replaced, and after a new one is ready.
    void Attach(int fd);
    void Detach() { Attach(-1); }
    // Set while datagrams wait for the dispatcher or it is to watch the socket again;
    // null when it could not be made (then no waiting thread reads the socket).
    void* AttentionEvent() const { return m_attention; }

    // Dispatcher: the socket `fd` to watch now, or -1 while waiters read it.
    int SocketToWatch(int fd);
    // Dispatcher: the next datagram in arrival order, a handed-off one first, else one
    // read from `fd` when `socketReadable` and no waiter reads it. A datagram taken is
    // held until DoneHandling; a failure handed off comes back with its socket error set.
    PendingDatagram TakeForDispatcher(int fd, bool socketReadable, std::int32_t* words, CSockAddr& sender);
    void DoneHandling() { m_dispatcherHolds.store(false, std::memory_order_release); }

    // Waiting thread: Enter before it first watches the socket, Leave when it stops.
    void WaiterEnter() { m_waitersReading.fetch_add(1); }
    void WaiterLeave();
    // Waiting thread: what to watch (fd -1 when it must not read now).
    WaiterView ForWaiter();
    // Reads one datagram if `view` is still current; acts on it through `take` when
    // nothing read before it is unhandled, and hands it to the dispatcher otherwise.
    WaiterRead ReadOnWaiter(const WaiterView& view, TakeOnWaiter take, void* context);

private:
    struct Slot {
        PendingDatagram taken;
        int error = 0;
        CSockAddr sender;
        alignas(std::int32_t) std::int32_t words[kDatagramBytes / 4];
    };
    static constexpr std::size_t kSlots = 16;

    void HandOff(const PendingDatagram& taken, int error, const std::int32_t* words, const CSockAddr& sender);

    std::mutex m_readLock;
    int m_fd = -1;
    std::uint64_t m_generation = 0;
    std::unique_ptr<std::array<Slot, kSlots>> m_ring;
    std::size_t m_head = 0;    // oldest handed-off datagram
    std::size_t m_count = 0;   // handed-off datagrams waiting
    void* m_attention = nullptr;
    std::atomic<bool> m_dispatcherHolds{false};
    std::atomic<int> m_waitersReading{0};
    std::atomic<bool> m_dispatcherStandsAside{false};
    alignas(std::int32_t) std::int32_t m_waiterWords[kDatagramBytes / 4];
};

}  // namespace talvex
