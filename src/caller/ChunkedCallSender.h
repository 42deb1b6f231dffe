#pragma once
// Sends one chunked call of CRP_CallerEx: cuts the block into chunks, keeps up to the
// caller's chunks-in-flight count of chunk calls outstanding (one by default, each
// answered before the next goes), tries each chunk up to kChunkTries times, and takes
// the answer of the chunk that completed the transfer as the call's answer. All of its
// state belongs to the calling thread; each try is a call of its own in the caller's
// table of calls in flight.
#include "talvex05u/caller/RP_CallerEx.h"

#include <array>
#include <cstdint>

namespace talvex {

struct PendingCall;
class ReadingTurn;

class ChunkedCallSender {
public:
    ChunkedCallSender(CRP_CallerEx& caller, const CUdpDataBlockEx& block, std::int32_t chunkCount,
                      const CSockAddr& peer, void* waker, std::int32_t timeout);
    ~ChunkedCallSender();
    ChunkedCallSender(const ChunkedCallSender&) = delete;
    ChunkedCallSender& operator=(const ChunkedCallSender&) = delete;

    // Sends the whole call; true when it was answered, and `answer` then holds the answer.
    bool Run(CUdpDataBlockEx& answer);

private:
    // One chunk in flight: its current try and how many it has had.
    struct ChunkTry {
        PendingCall* call = nullptr;   // nullptr: the place is empty
        std::int32_t index = 0;
        std::int32_t tries = 0;
        std::uint32_t sentAt = 0;
        bool needsTry = false;         // to be sent (again) at the next send step
    };
    // How an answer ranks as the call's answer: one that came as chunks (the completing
    // chunk's, for sure), then one with words, then the one answered last.
    enum class Rank { kNone, kLast, kWithWords, kChunked };

    void StartNextChunk(ChunkTry& slot);
    bool SendPendingTries();
    bool SendTry(ChunkTry& slot);
    void LookAtTriesInFlight();
    void KeepAnswer(PendingCall& call);
    void BreakTriesInFlight();
    std::uint32_t TimeToFirstExpiry() const;
    bool AllAnswered() const { return m_answered >= m_chunkCount; }
    void CloseTriesInFlight();

    CRP_CallerEx& m_caller;
    const CUdpDataBlockEx& m_block;
    const std::int32_t m_chunkCount;
    const CSockAddr m_peer;
    void* const m_waker;
    const std::uint32_t m_limit;
    const std::int32_t m_transferReference;
    std::int32_t m_width;
    std::array<ChunkTry, kMaxChunksInFlight> m_window{};
    std::int32_t m_nextIndex = 0;
    std::int32_t m_answered = 0;
    bool m_failed = false;
    CUdpDataBlockEx m_chunk;      // the chunk being sent, built anew for every try
    unsigned char m_staging[kChunkBytes];
    CUdpDataBlockEx m_answerPlain;     // the best answer so far as its call returned it
    CUdpDataBlockEx m_answerChunked;   // and put together from its return chunks, when it came so
    Rank m_rank = Rank::kNone;
    std::int32_t m_answerReference = 0;   // the call whose answer is kept, and its return chunks
    std::int32_t m_chunksAnnounced = 0;
    std::int32_t m_chunksArrived = 0;
};

}  // namespace talvex
