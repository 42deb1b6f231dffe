#pragma once
// Sends the chunked answers of one extended caller from a thread of its own. SendReturn
// hands it a copy of the answer and returns at once, so a hook that answers at length
// never waits for its receiver's acknowledgements: a receiver that is slow, or a forged
// caller that never acknowledges, holds back neither the dispatch thread nor any other
// answer. The thread keeps every answer's flow control (ChunkedAnswers): a first burst of
// kFirstBurstChunks, then a window per receiver, and cuts short an answer whose first
// chunks go unacknowledged. While answers are pending it reads the caller's socket like
// any waiting thread, so their acknowledgements reach it whatever hook runs.
#include "caller/ChunkedAnswers.h"
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/SockAddr.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

class CRP_CallerEx;

namespace talvex {

class ReadingTurn;

class AnswerSender {
public:
    // Chunks an answer sends before its receiver's first acknowledgement (2,832 bytes).
    static constexpr std::int32_t kFirstBurstChunks = 2;
    // Chunks of all answers to one receiver that may be unacknowledged at once.
    static constexpr std::int32_t kUnacknowledgedChunks = 128;
    // An answer none of whose first chunks is acknowledged in this time is cut short.
    static constexpr std::uint32_t kFirstAcknowledgementMs = 500;
    // A receiver silent this long with the window full has lost acknowledgements.
    static constexpr std::uint32_t kAcknowledgementStallMs = 1000;
    // Answers waiting to be sent at most; one more is dropped and told.
    static constexpr std::size_t kMostPending = 256;

    explicit AnswerSender(CRP_CallerEx& caller);
    ~AnswerSender();
    AnswerSender(const AnswerSender&) = delete;
    AnswerSender& operator=(const AnswerSender&) = delete;

    // Takes `answer` (more than 350 words) to send to `destination` as chunks and the
    // final empty return: a copy of its words, or, with `takeWords`, its buffer itself
    // (the block is left empty). False, nothing queued, when too many answers wait.
    bool Queue(CUdpDataBlockEx& answer, bool takeWords, const CSockAddr& destination, std::int32_t chunkCount);
    // Ends the thread; answers not yet sent are dropped.
    void Stop();

private:
    struct Pending {
        CUdpDataBlockEx answer;
        CSockAddr destination;
        std::int32_t chunkCount = 0;
        std::int32_t next = 0;                   // the next chunk to send
        std::int32_t transferReference = 0;
        ChunkedAnswers::Answer* flow = nullptr;
    };
    static std::uint32_t ThreadProc(void* self);
    void Run();
    // Takes the answers queued since the last look; false when the thread is to end.
    bool TakeQueued(std::vector<std::unique_ptr<Pending>>& active);
    // Sends what the flow control allows of `pending`; true when it is done with (sent
    // whole, or cut short). `wait` is lowered to when it must be looked at again.
    bool Advance(Pending& pending, std::uint32_t& wait);
    void SendChunk(Pending& pending);
    void SendFinal(const Pending& pending);

    CRP_CallerEx& m_caller;
    void* m_waker = nullptr;              // set by Queue, Stop and acknowledgements
    std::mutex m_lock;                    // guards m_queued and m_stopping
    std::deque<std::unique_ptr<Pending>> m_queued;
    std::size_t m_pending = 0;            // queued or being sent (m_lock)
    bool m_stopping = false;
    CWinThread* m_thread = nullptr;
    CUdpDataBlockEx m_chunk;              // the sender thread's
    unsigned char m_staging[1384];
};

}  // namespace talvex
