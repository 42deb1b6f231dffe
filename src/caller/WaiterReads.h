#pragma once
// Who reads the caller's unicast socket. The dispatch thread reads it while it is free
// and nobody else waits; every thread that waits for something that arrives there (a
// call for its return, a chunked call for its chunks' answers, a chunked answer for its
// acknowledgements, a hook included) reads it while it waits, so that nothing it waits
// for is held back by a hook that takes its time. A reader takes whatever datagram is
// at the head of the queue: what needs a hook (a call, a broadcast, a call chunk) goes
// into the dispatcher's inbox, in arrival order; everything else the reader handles
// itself. At most kMaxPollers readers hold a place to poll the socket (every datagram
// would wake every poller); the others wait in line on their own wakers, while the
// pollers complete their returns for them. A reader keeps its place until it stops,
// and then hands it to the first in line. While any thread reads, the
// dispatcher leaves the socket out of its poll (looking again after a short while
// whether readers are still there, so that calls made one after another cost it
// nothing) and
// watches its attention event, which a push to the inbox and the last reader to leave
// set. A socket is closed only after Withdraw, which wakes the readers that hold a
// place through their wakers and returns once no thread polls it.
#include "platform/WakeLink.h"
#include "socket/DatagramBatch.h"
#include "talvex05u/caller/RP_Caller.h"
#include "socket/PendingDatagram.h"
#include "talvex05u/socket/SockAddr.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace talvex {

class CounterCells;
class ReadingTurn;

class WaiterReads {
public:
    static constexpr int kDatagramBytes = 2048;
    // Datagrams for the dispatcher that the inbox holds at most (about 520 KB, made on
    // first use); one more is dropped and counted, as a full socket buffer drops it.
    static constexpr std::size_t kInboxSlots = 256;
    // Readers that hold a place to poll the socket.
    static constexpr int kMaxPollers = 1;
    // How long the dispatcher, standing aside, sleeps before it looks whether readers are
    // still there: soon while calls come and go, less and less often while one waits long.
    static constexpr int kQuickLookMs = 1;
    static constexpr int kLongestLookMs = 64;

    // Where a datagram goes: to the dispatcher's inbox, to the thread that took it, or
    // nowhere (a source the caller does not talk to).
    enum Route : int { kForDispatcher = 0, kHandleHere = 1, kDrop = 2 };
    // Decides, under the read lock and without blocking, where a datagram goes (a
    // Route). It may also note under that lock what must stay ordered (a return chunk
    // in hand).
    using Router = int (*)(void* context, const std::int32_t* words, int size, const CSockAddr& sender);

    // One datagram taken from the socket or the inbox.
    struct Taken {
        PendingDatagram::Outcome outcome = PendingDatagram::Outcome::kNone;
        int size = 0;
        int arrivalInterface = 0;
        bool fromSocket = false;
        std::int32_t error = 0;   // the socket error of a failed receive
    };

    explicit WaiterReads(CounterCells& counters);
    ~WaiterReads();
    WaiterReads(const WaiterReads&) = delete;
    WaiterReads& operator=(const WaiterReads&) = delete;

    // --- the dispatch thread ---
    // The descriptor to poll now (`fd`, or -1 while other threads read it) and how long
    // to poll before looking again (-1: no limit).
    struct Watch {
        int fd = -1;
        int timeoutMs = -1;
    };
    Watch SocketToWatch(int fd);
    // Set when the dispatcher is to look at its inbox or watch the socket again.
    void* AttentionEvent() const { return m_attention; }
    void ClearAttention();
    // Wakes the dispatcher for a stop (until the next Offer).
    void CallDispatcher();
    // The oldest datagram of the inbox (outcome kNone when it is empty).
    Taken TakeFromInbox(std::int32_t* words, CSockAddr& sender);
    // What is waiting in `fd`, into `batch`, while the inbox is empty (what readers put
    // there came first): the entries taken, or kInboxFirst. `mark` runs under the read
    // lock for each datagram; one it drops becomes an entry of outcome kNone.
    static constexpr int kInboxFirst = -1;
    int TakeBatchForDispatcher(int fd, DatagramBatch& batch, Router mark, void* context);
    // True while a thread reads (or may read) the socket.
    bool HasReaders() const { return m_readers.load() > 0; }
    // A caller that only serves (no thread has read its socket for kQuietBeforeBlockingMs)
    // has its dispatcher wait in a blocking receive, without a poll before every datagram.
    // A thread that comes to read, and a stop, wake it with a datagram that the socket
    // sends itself: an empty return of reference number 0, which answers no call (taken
    // by whoever reads it, and dropped).
    static constexpr std::uint32_t kQuietBeforeBlockingMs = 100;
    static constexpr int kNotNow = -2;
    static constexpr std::array<std::int32_t, 4> kWakeUp = {RP_RETURN, 0, 0, 0};
    bool QuietForBlocking();
    // What TakeBatchForDispatcher does, waiting for the first datagram; kNotNow when a
    // reader or the inbox wants the dispatcher to watch its events instead.
    int TakeBatchBlocking(int fd, DatagramBatch& batch, Router mark, void* context);
    // Readers stop polling; returns when none polls the socket any more.
    void Withdraw();
    // Readers may read `fd`, bound to `own`, from now on.
    void Offer(int fd, const CSockAddr& own);

private:
    friend class ReadingTurn;
    struct Slot {
        int size = 0;                // 0: a failed receive, `error` says why
        std::int32_t error = 0;
        CSockAddr sender;
        std::int32_t words[kDatagramBytes / 4];
    };
    void LeaveReaders(bool handBackAtOnce);
    // With m_readLock held: gives the socket the receive time-out that a blocking receive
    // needs (0: none) when it has another; false when the socket refused it.
    bool SetReceiveTimeout(int fd, int milliseconds);
    // With m_readLock held: what a reader took goes where `route` says; a failed receive
    // to the dispatcher's inbox. Entries left of outcome kReceived are the reader's.
    void RouteBatch(DatagramBatch& batch, int count, Router route, void* context);
    // Sends the wake-up datagram when the dispatcher waits in a blocking receive.
    void WakeBlockedDispatcher();
    bool IsWakeUp(const DatagramBatch::Entry& entry) const;
    // With m_readLock held: drops the wake-up datagrams of a batch; the others are
    // counted and given to `mark` (kDrop: outcome kNone).
    void MarkBatch(DatagramBatch& batch, int count, Router mark, void* context);
    // With m_readLock held: keeps a datagram (or a failed receive) for the dispatcher.
    void PushToInbox(const std::int32_t* words, int size, std::int32_t error, const CSockAddr& sender);

    std::mutex m_readLock;              // orders every read of the socket and the inbox
    std::condition_variable m_pollersLeft;
    int m_fd = -1;                      // what readers may read; -1: nothing
    int m_polling = 0;                  // readers inside a poll of m_fd
    // Places to poll, each with the batch its holder receives into (made on first use).
    std::array<bool, kMaxPollers> m_placeHeld{};
    std::array<std::unique_ptr<DatagramBatch>, kMaxPollers> m_placeBatches;
    ReadingTurn* m_lineHead = nullptr;  // readers waiting for a place, first come first
    ReadingTurn* m_lineTail = nullptr;
    std::array<ReadingTurn*, kMaxPollers> m_placeHolders{};
    void* m_attention = nullptr;        // wakes the dispatcher for its inbox or the socket, or a stop
    std::atomic<int> m_readers{0};      // threads that read (or may read) the socket
    std::atomic<bool> m_dispatcherStandsAside{false};
    std::atomic<std::uint64_t> m_leaves{0};    // times the last reader left
    std::atomic<int> m_asideMs{kQuickLookMs};  // how long the dispatcher sleeps while it stands aside
    std::uint64_t m_leavesSeen = 0;            // dispatch thread only
    std::atomic<bool> m_dispatcherBlocks{false};   // in (or about to enter) a blocking receive
    std::atomic<bool> m_stopWanted{false};
    // A place holder waits in a blocking receive: the dispatcher does not read meanwhile,
    // so that what the two take reaches the hooks in the order it came.
    bool m_readerBlocks = false;
    int m_receiveTimeoutMs = 0;                    // the socket's receive time-out (0: none)
    std::atomic<int> m_wakeFd{-1};                 // the socket that sends the wake-up to itself
    CSockAddr m_wakeTo;                            // its own address (127.0.0.1 for the any address)
    std::uint64_t m_leavesAtQuietStart = 0;        // dispatch thread only
    std::uint32_t m_quietSince = 0;                // dispatch thread only
    bool m_lookedAside = false;                // dispatch thread only
    std::unique_ptr<std::array<Slot, kInboxSlots>> m_inbox;
    std::size_t m_inboxHead = 0;
    std::atomic<std::size_t> m_inboxCount{0};   // written under m_readLock; read without it to skip an empty inbox
    CounterCells& m_counters;
};

// One waiting thread's share of the socket, from its construction until Stop. A call
// leaves the socket lazily: the dispatcher takes it back when it next looks (within
// kQuickLookMs), since the calling thread is likely to call again at once. Any other
// reader (an answer thread, a ping, a broadcast's wait) wakes the dispatcher as it goes.
class ReadingTurn {
public:
    enum class Leaving { kHandBack, kLazily };
    explicit ReadingTurn(WaiterReads& reads, Leaving leaving = Leaving::kHandBack);
    ~ReadingTurn() { Stop(); }
    ReadingTurn(const ReadingTurn&) = delete;
    ReadingTurn& operator=(const ReadingTurn&) = delete;

    // The descriptor to poll beside the thread's events (-1: do not poll now). Every
    // BeginPoll that gave a descriptor is followed by EndPoll. `waker`, which the thread
    // waits on, is set when a place is handed to a reader that waits in line (it got -1
    // while Reading()) and when the socket is withdrawn from one that holds a place.
    int BeginPoll(void* waker);
    void EndPoll();
    bool Reading() const { return m_reading; }
    // Ends the poll and takes what is waiting in the socket into the batch of this
    // turn's place. What
    // `route` gives the dispatcher, and a failed receive, go to its inbox; the entries
    // left of outcome kReceived are this thread's to handle. nullptr when the turn holds
    // no place or the socket is withdrawn.
    DatagramBatch* Take(WaiterReads::Router route, void* context);
    // What Take does when something is waiting; nullptr, the poll still on, when nothing
    // is (or the socket was withdrawn, which the next Take or TakeWaiting finds).
    DatagramBatch* TakeIfAny(WaiterReads::Router route, void* context);
    // What Take does, after waiting in a blocking receive (one system call where a poll
    // and a receive were two) for up to `milliseconds` (kInfinite: no limit; a wait of
    // 100 ms or less, and the end of a longer one, polls, to keep time to the
    // millisecond). Setting
    // `waker` ends the wait: while the thread sleeps there the waker is linked to a
    // wake-up datagram that the socket sends itself. nullptr when the waker was set, the
    // time passed or the socket was withdrawn. Follows a BeginPoll that gave a descriptor.
    DatagramBatch* TakeWaiting(void* waker, std::uint32_t milliseconds, WaiterReads::Router route, void* context);
    void Stop();

private:
    friend class WaiterReads;
    // With the read lock held.
    void JoinLine();
    void LeaveLine();
    void TakeFreePlace();
    void HandPlaceOn();
    void FinishPoll();
    DatagramBatch& PlaceBatch();
    // The waker's link while this turn sleeps in a blocking receive.
    static void WakeBlockedReceive(void* turn);

    WaiterReads& m_reads;
    const bool m_handBackAtOnce;
    bool m_reading = true;
    bool m_polling = false;
    int m_place = -1;   // the place held, -1: none
    bool m_inLine = false;
    void* m_waker = nullptr;
    ReadingTurn* m_nextInLine = nullptr;
    WakeLink m_link;
    int m_linkFd = -1;        // the socket this turn sleeps in, which wakes itself
    CSockAddr m_linkTo;
};

}  // namespace talvex
