#pragma once
// The chunked answers a caller is sending, or sent lately, and their acknowledgements.
// A receiver that puts chunks together acknowledges each chunk with an empty return
// that carries the answered call's procedure and reference number; whichever thread
// reads one counts it here for the answer it belongs to. Flow control is per receiver:
// the chunks not yet acknowledged of all answers to one receiver (address and port)
// count together, since they fill the one socket buffer there. Acknowledgements that
// arrive after an answer is done are recognised for a while and dropped, never taken
// for anything else (a call of this caller with the same number to that peer).
#include "talvex05u/socket/SockAddr.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace talvex {

class ChunkedAnswers {
public:
    // How long acknowledgements of a finished answer are still recognised.
    static constexpr std::uint32_t kRememberedMs = 5000;
    // A finished answer whose acknowledgements stopped coming this long ago no longer
    // counts its missing ones against its receiver: they were lost on the way.
    static constexpr std::uint32_t kSilenceMs = 1000;

    struct Answer {
        std::uint64_t receiver = 0;   // address << 16 | port
        std::int32_t reference = 0;
        std::int32_t procedure = 0;
        std::int64_t sent = 0;        // chunks sent so far: no more acknowledgements can come
        std::int64_t acknowledged = 0;
        std::int64_t forgiven = 0;    // missing acknowledgements taken as lost
        void* waker = nullptr;        // the sending thread's, while it sends
        bool sending = false;
        bool senderWaits = false;     // wake the sender on the next acknowledgement to its receiver
        bool inUse = false;
        std::uint32_t progressAt = 0;   // last acknowledgement, or the start
        std::uint32_t startedAt = 0;
        std::uint32_t finishedAt = 0;
    };
    // What a sender needs to know of its receiver.
    struct Receiver {
        std::int64_t unacknowledged = 0;   // chunks of all its answers not yet acknowledged
        bool heard = false;                // it acknowledged some chunk lately
        std::uint32_t progressAt = 0;      // its last acknowledgement (or the answer's start)
        std::int64_t ownSent = 0;          // of the answer asked about: chunks sent,
        std::int64_t ownAcknowledged = 0;  // acknowledged,
        std::int64_t ownForgiven = 0;      // and taken as acknowledged after a stall
        std::uint32_t ownStart = 0;        // when it began
    };

    ChunkedAnswers() = default;
    ChunkedAnswers(const ChunkedAnswers&) = delete;
    ChunkedAnswers& operator=(const ChunkedAnswers&) = delete;

    // Registers an answer about to go to `receiver` under `reference` and `procedure`;
    // the sending thread is woken through `waker`.
    Answer* Begin(const CSockAddr& receiver, std::int32_t reference, std::int32_t procedure, void* waker);
    // `count` more chunks of the answer are about to go out.
    void ChunksSent(Answer* answer, std::int64_t count);
    // The answer is sent: its late acknowledgements are still dropped for a while.
    void Finish(Answer* answer);
    // The state of the answer's receiver. With `wait`, the next acknowledgement from
    // that receiver wakes the sender.
    Receiver ReceiverOfAnswer(Answer* answer, bool wait);
    // Takes up to `count` missing acknowledgements of the answer as lost, never more in
    // all than the receiver really acknowledged (a forger's one acknowledgement buys one).
    // Returns how many it took.
    std::int64_t Forgive(Answer* answer, std::int64_t count);
    // True when the datagram is an acknowledgement of an answer sent or being sent to
    // its sender (its procedure and reference number, and fewer acknowledgements counted
    // than chunks sent); it is then counted and the datagram is done with.
    // `ownWaker`, the reading thread's own waker, is not set (it looks by itself).
    bool TakeAcknowledgement(const std::int32_t* words, int size, const CSockAddr& sender, void* ownWaker = nullptr);

private:
    // With m_lock held: frees the entry of a finished answer whose chunks are all acknowledged.
    void ForgetWhenDone(Answer& answer);

    std::mutex m_lock;
    std::vector<std::unique_ptr<Answer>> m_answers;
    std::atomic<int> m_inUse{0};   // entries in use: none, and an acknowledgement costs nothing
};

// The receiver number of an address: its IPv4 address and port as one number.
inline std::uint64_t ReceiverOf(const CSockAddr& address) {
    return static_cast<std::uint64_t>(address.sin_addr.s_addr) << 16 | address.sin_port;
}

}  // namespace talvex
