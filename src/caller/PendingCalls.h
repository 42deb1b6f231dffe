#pragma once
// The calls in flight of one caller: one entry per call (a plain call, or one try of
// one chunk of a chunked call), each holding everything that belongs to that call
// alone. Whoever receives a return completes it into its call's entry under the
// caller's lock and wakes the call through its own event. The caller guards the
// table with its m_callLock.
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/socket/SockAddr.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class CBlockingSocketException;

namespace talvex {

struct PendingCall;

// A chunked call whose tries the thread that completes an answer moves on: told under
// the caller's lock when a try of it was answered.
class ChunkWindow {
public:
    // Takes the answer of `call` (and frees its entry). When another chunk is to go out,
    // enters its try, builds its packet into `record` and returns the try (else nullptr).
    // `wakeOwner` is set when the calling thread has something to act on.
    virtual PendingCall* OnTryAnswered(PendingCall& call, std::int32_t* record, bool& wakeOwner) = 0;

protected:
    ~ChunkWindow() = default;
};

struct PendingCall {
    std::int32_t reference = 0;   // 0: the entry is free
    CSockAddr peer;               // where the call went
    CUdpDataBlockEx returnBlock;  // the return, packet by packet as it arrives
    CUdpDataBlockEx chunkedReturn;   // a return that came as chunks, put together
    std::int32_t returnChunksAnnounced = 0;   // chunk count of its return chunks; 0: none came
    std::int32_t returnChunksArrived = 0;
    std::int32_t returnChunksInHand = 0;   // taken from the socket, not yet put into the store
    bool complete = false;        // returnBlock holds the whole return
    bool released = false;        // the caller stopped: end the wait with what arrived
    void* waker = nullptr;        // the waiting thread's own event
    ChunkWindow* window = nullptr;   // the chunked call this call is a try of, if any
    CBlockingSocketException* sendFailure = nullptr;   // a send of this try by another thread failed
};

// True when a return from `sender` can answer a call that went to `peer`: it comes
// from the port the call went to, from any address (a peer bound to any address
// answers from whichever address its routing picks). Port 0 takes a return from anyone.
bool AnswersCallTo(const CSockAddr& peer, const CSockAddr& sender);

class PendingCalls {
public:
    PendingCalls() = default;
    ~PendingCalls();
    PendingCalls(const PendingCalls&) = delete;
    PendingCalls& operator=(const PendingCalls&) = delete;

    // A wake-up event for one waiting thread (manual reset, clear); nullptr when none
    // can be made. Kept and reused, so steady calling makes none.
    void* TakeWaker();
    void ReleaseWaker(void* waker);
    // Enters the call `reference` sent to `peer`, woken through `waker`. While the
    // caller stops, the call is released (and woken) at once.
    PendingCall* Open(std::int32_t reference, const CSockAddr& peer, void* waker);
    // The open call whose return a datagram from `sender` with `reference` can be;
    // `incompleteOnly` skips calls whose return is complete. nullptr when none.
    PendingCall* Find(std::int32_t reference, const CSockAddr& sender, bool incompleteOnly = true);
    // Frees the entry: a late return for it finds nothing any more.
    static void Close(PendingCall* call);
    // Marks every open call released and wakes it, and every call opened from now
    // until AcceptCalls too (the caller is stopping or stopped).
    void ReleaseAll();
    void AcceptCalls() { m_stopped = false; }
    // Wakes every open call (it then looks for what woke it).
    void WakeAll();
    bool Stopped() const { return m_stopped; }

private:
    std::vector<std::unique_ptr<PendingCall>> m_calls;
    std::vector<void*> m_freeWakers;
    std::vector<void*> m_allWakers;
    bool m_stopped = false;
};

}  // namespace talvex

namespace talvex {

// A waker taken from the table for one calling thread, given back when it goes.
class WakerLease {
public:
    WakerLease(PendingCalls& calls, std::mutex& lock) : m_calls(calls), m_lock(lock) {
        std::scoped_lock guard(m_lock);
        m_waker = m_calls.TakeWaker();
    }
    ~WakerLease() {
        std::scoped_lock guard(m_lock);
        m_calls.ReleaseWaker(m_waker);
    }
    WakerLease(const WakerLease&) = delete;
    WakerLease& operator=(const WakerLease&) = delete;
    void* Get() const { return m_waker; }

private:
    PendingCalls& m_calls;
    std::mutex& m_lock;
    void* m_waker = nullptr;
};

}  // namespace talvex
