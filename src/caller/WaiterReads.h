#pragma once
// Who reads the caller's unicast socket: the dispatch thread, and, while a call waits,
// the waiting thread itself, so that a return reaches its call without a hand-off
// between threads. The socket's own queue is the only queue: a waiting thread looks
// at the datagram at its head and takes it only when it may (an awaited return, and
// the dispatcher is not handling an earlier datagram); anything else stays there for
// the dispatcher, and that waiter stops reading for the rest of its call. While any
// waiter reads, the dispatcher leaves the socket out of its poll; the last reader to
// stop wakes it. A socket is closed or replaced only after Withdraw, which returns
// once no thread polls it any more.
#include "socket/PendingDatagram.h"
#include "talvex05u/socket/SockAddr.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace talvex {

class WaiterReads {
public:
    static constexpr int kDatagramBytes = 2048;

    WaiterReads();
    ~WaiterReads();
    WaiterReads(const WaiterReads&) = delete;
    WaiterReads& operator=(const WaiterReads&) = delete;

    // --- the dispatch thread ---
    // The descriptor to poll now: `fd`, or -1 while waiters read it.
    int SocketToWatch(int fd);
    // Set when the dispatcher is to watch the socket again.
    void* AttentionEvent() const { return m_attention; }
    void ClearAttention();
    // Takes the next datagram from `fd`; the dispatcher is "handling" it until DoneHandling
    // (also when a hook it runs reads more datagrams this way).
    PendingDatagram TakeForDispatcher(int fd, std::int32_t* words, CSockAddr& sender);
    void DoneHandling();
    // Waiting threads stop reading; returns when none polls the socket any more.
    void Withdraw();
    // Waiting threads may read `fd` from now on.
    void Offer(int fd);

    // --- a waiting thread ---
    // Decides, under the read lock, whether the waiting thread takes the datagram at
    // the head of the queue (and then handles it itself). Must not block.
    using TakeDecision = bool (*)(void* context, const std::int32_t* words, int size, const CSockAddr& sender);

private:
    friend class ReadingTurn;
    void LeaveReaders();

    std::mutex m_readLock;              // orders every read of the socket
    std::condition_variable m_pollersLeft;
    int m_fd = -1;                      // what waiting threads may read; -1: nothing
    int m_polling = 0;                  // waiting threads inside a poll of m_fd
    bool m_dispatcherHandling = false;  // a datagram read by the dispatcher is still being handled
    void* m_attention = nullptr;        // wakes the dispatcher to watch the socket again
    void* m_withdrawn = nullptr;        // set while the socket is withdrawn
    std::atomic<int> m_readers{0};      // waiting threads that read (or may read) the socket
    std::atomic<bool> m_dispatcherStandsAside{false};
};

// One waiting thread's share of the socket, from its construction until Stop.
class ReadingTurn {
public:
    explicit ReadingTurn(WaiterReads& reads);
    ~ReadingTurn() { Stop(); }
    ReadingTurn(const ReadingTurn&) = delete;
    ReadingTurn& operator=(const ReadingTurn&) = delete;

    // The descriptor to poll beside the call's events (-1: do not read), and the
    // event that ends that poll when the socket is withdrawn. Every BeginPoll that
    // gave a descriptor is followed by EndPoll.
    int BeginPoll();
    void EndPoll();
    void* WithdrawEvent() const { return m_reads.m_withdrawn; }
    // Looks at the head datagram and takes it into `words` (kDatagramBytes) when
    // `decide` says so; else leaves it for the dispatcher and stops reading. The
    // size taken, 0 when nothing was.
    int TakeHead(WaiterReads::TakeDecision decide, void* context, std::int32_t* words, CSockAddr& sender);
    void Stop();
    bool Reading() const { return m_reading; }

private:
    WaiterReads& m_reads;
    bool m_reading = true;
    bool m_polling = false;
};

}  // namespace talvex
