#pragma once
// Sends one chunked call of CRP_CallerEx: cuts the block into chunks, keeps up to the
// caller's chunks-in-flight count of chunk calls outstanding (one by default, each
// answered before the next goes), tries each chunk up to kChunkTries times, and takes
// the answer of the chunk that completed the transfer as the call's answer.
//
// Each try is a call of its own in the caller's table of calls in flight. Whoever
// completes a try's answer (the dispatch thread, as a rule) moves the call on at once:
// it sends the next chunk, so a long call runs between the two dispatch threads without
// waking the calling thread. The calling thread starts the call, tries again what timed
// out or was broken off, and takes the answer. All of the state below is guarded by the
// caller's m_callLock.
#include "caller/PendingCalls.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <array>
#include <cstdint>

namespace talvex {

class ChunkedCallSender final : public ChunkWindow {
public:
    ChunkedCallSender(CRP_CallerEx& caller, const CUdpDataBlockEx& block, std::int32_t chunkCount,
                      const CSockAddr& peer, void* waker, std::int32_t timeout);
    ~ChunkedCallSender();
    ChunkedCallSender(const ChunkedCallSender&) = delete;
    ChunkedCallSender& operator=(const ChunkedCallSender&) = delete;

    // Sends the whole call; true when it was answered, and `answer` then holds the
    // answer. A socket failure of any try's send comes out as its exception.
    bool Run(CUdpDataBlockEx& answer);

    PendingCall* OnTryAnswered(PendingCall& call, std::int32_t* record, bool& wakeOwner) override;

private:
    // One chunk in flight: its current try and how many it has had.
    struct ChunkTry {
        PendingCall* call = nullptr;   // nullptr: no try in flight
        std::int32_t index = -1;       // -1: the place is empty
        std::int32_t tries = 0;
        std::uint32_t sentAt = 0;
    };
    // How an answer ranks as the call's answer: one that came as chunks (the completing
    // chunk's, for sure), then one with words, then the one answered last.
    enum class Rank { kNone, kLast, kWithWords, kChunked };

    bool SendTriesDue();
    PendingCall* EnterTry(ChunkTry& slot, std::int32_t* record);
    void StartNextChunk(ChunkTry& slot);
    void LookAtTriesInFlight();
    void KeepAnswer(PendingCall& call);
    void BreakTriesInFlight();
    std::uint32_t TimeToFirstExpiry() const;
    bool Ended() const { return m_failed || m_answered >= m_chunkCount; }
    void CloseTriesInFlight();

    CRP_CallerEx& m_caller;
    const CUdpDataBlockEx& m_block;
    const std::int32_t m_chunkCount;
    const CSockAddr m_peer;
    void* const m_waker;
    const std::uint32_t m_limit;
    const std::int32_t m_transferReference;
    const std::int32_t m_width;
    std::array<ChunkTry, kMaxChunksInFlight> m_window{};
    std::int32_t m_nextIndex = 0;
    std::int32_t m_answered = 0;
    bool m_failed = false;
    bool m_stopped = false;   // failed because the caller stops
    CBlockingSocketException* m_sendFailure = nullptr;   // rethrown by Run
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
