#pragma once
// The returns a caller is waiting for: one entry per call in flight, each with the
// reference number and peer it was sent with, its own return block, whether that
// block is complete, and the event that wakes its waiter. Several application
// threads can call through one caller at once, and one thread can keep several
// calls outstanding (chunks in flight), because every return lands only in the
// entry of its own call. The caller guards the table with its own lock.
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/socket/SockAddr.h"

#include <cstdint>
#include <memory>
#include <vector>

class CRP_Caller;

namespace talvex {

struct AwaitedReturn;

// Told on the dispatch thread, with the caller's lock held, when the return of an entry
// it listens to completes; true when the entry's waiter is to be woken. It may close
// the entry and open others.
class ReturnListener {
public:
    virtual bool OnReturnComplete(AwaitedReturn& entry) = 0;

protected:
    ~ReturnListener() = default;
};

struct AwaitedReturn {
    std::int32_t reference = 0;   // 0: the entry is free
    CSockAddr peer;               // where the call went
    CUdpDataBlockEx block;        // the return as it arrives
    bool complete = false;
    void* wake = nullptr;         // set when the return completes or the caller stops
    ReturnListener* listener = nullptr;   // when set, decides whether the completion wakes
};

// A waiting thread that reads the caller's socket: a return it completes for its own
// entry needs no wake-up through `waker`.
struct ReturnReader {
    CRP_Caller* caller = nullptr;
    void* waker = nullptr;
};

// True when a datagram from `sender` can answer a call sent to `peer`. A call to the
// wildcard address reaches this computer and is answered from whichever local address;
// otherwise the answer comes from where the call went. A peer with port 0 (a return
// awaited without a call) takes an answer from anyone.
bool AnswersCallTo(const CSockAddr& peer, const CSockAddr& sender);

class AwaitedReturnTable {
public:
    AwaitedReturnTable() = default;
    ~AwaitedReturnTable();
    AwaitedReturnTable(const AwaitedReturnTable&) = delete;
    AwaitedReturnTable& operator=(const AwaitedReturnTable&) = delete;

    // A wake-up event for one waiting thread (manual reset, clear); nullptr when none
    // can be made. Events are kept and reused, so steady calling creates none.
    void* TakeWaker();
    void ReleaseWaker(void* waker);
    // Enters the call `reference` sent to `peer`, woken through `waker`. Entries are
    // reused; a new one is made only when more calls are in flight than ever before.
    AwaitedReturn* Open(std::int32_t reference, const CSockAddr& peer, void* waker);
    // The open, incomplete entry whose return a datagram from `sender` with
    // `reference` can be; nullptr when there is none.
    AwaitedReturn* Find(std::int32_t reference, const CSockAddr& sender);
    // Frees the entry; a late return for it finds nothing any more.
    static void Close(AwaitedReturn* entry);
    // Wakes every waiter (the caller is stopping).
    void WakeAll();

private:
    std::vector<std::unique_ptr<AwaitedReturn>> m_entries;
    std::vector<void*> m_freeWakers;
    std::vector<void*> m_allWakers;
};

}  // namespace talvex
