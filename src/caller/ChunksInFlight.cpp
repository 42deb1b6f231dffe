// Chunked calls of CRP_CallerEx with several chunks outstanding: every chunk is a call
// of its own, with its own reference number and its own tries, and the next chunk goes
// out as soon as one is answered. The receiving side stores chunks by index in whatever
// order they come and answers the chunk that completes the transfer with the
// application's return; every other chunk gets an empty return.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/AwaitedReturns.h"
#include "caller/ChunkReassembly.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <array>

namespace {

// One chunk call in flight.
struct ChunkInFlight {
    talvex::AwaitedReturn* entry = nullptr;   // nullptr: the place is empty
    std::int32_t index = 0;
    std::int32_t tries = 0;
    std::uint32_t sentAt = 0;
};

// Which answer is the call's: the answer with content, else the one whose reference a
// chunked return carries, else the one that came last (with one chunk at a time, the
// last chunk's answer).
struct ChunkAnswers {
    bool haveContent = false;
    std::int32_t chunkedReference = 0;
    std::int32_t lastReference = 0;
};

bool Expired(const ChunkInFlight& chunk, std::uint32_t limit, std::uint32_t now) {
    return limit != talvex::kInfinite && now - chunk.sentAt >= limit;
}

// Lets the dispatch thread move the window on as answers come: it takes the answer and
// sends the next chunk on the spot, and wakes the calling thread only when the transfer
// is answered or has failed. The calling thread handles time-outs.
template <typename Advance>
class WindowListener final : public talvex::ReturnListener {
public:
    explicit WindowListener(Advance& advance) : m_advance(advance) {}
    bool OnReturnComplete(talvex::AwaitedReturn&) override { return m_advance(); }

private:
    Advance& m_advance;
};

}  // namespace

bool CRP_CallerEx::SendChunkedCall(CUdpDataBlockEx* block, std::int32_t chunkCount, std::int32_t timeout) {
    SetRemoteSocket(m_nMultiPort, m_nMultiAddress);
    CSockAddr peer;
    {
        std::scoped_lock lock(m_sendLock);
        peer = m_addrRemote;
    }
    // No target: every try would end at once without sending, so the call fails here.
    if (peer.sin_port == 0) return false;
    void* waker = nullptr;
    {
        std::scoped_lock lock(m_sendLock);
        m_addrAwaitedPeer = peer;
        waker = m_pAwaitedReturns->TakeWaker();
    }
    if (waker == nullptr) return false;
    const talvex::ChunkSender peerSender = talvex::ChunkSenderOf(peer);
    const std::int32_t transferReference = TakeReferenceNumber();
    talvex::ResetEvent(m_hMultiDoneEvent);
    talvex::ResetEvent(m_hMultiBreakEvent);
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);

    std::array<ChunkInFlight, talvex::kMaxChunksInFlight> window{};
    const std::int32_t width = std::min(m_nChunksInFlight.load(), chunkCount);
    std::int32_t next = 0;
    std::int32_t answered = 0;
    ChunkAnswers answers;
    bool failed = false;
    talvex::ReturnListener* listener = nullptr;

    // Sends a (further) try of `chunk`; false once its tries are used up.
    const auto sendTry = [&](ChunkInFlight& chunk) {
        if (chunk.tries >= talvex::kChunkTries) return false;
        ++chunk.tries;
        // Built anew for every try: a try is a call of its own with a reference of its own.
        BuildChunk(*block, RP_MULTI_CALL, transferReference, chunkCount, chunk.index, m_abyChunkStaging,
                   m_ChunkCallStaging);
        chunk.entry = SendCall(peer, m_ChunkCallStaging, waker);
        chunk.entry->listener = listener;
        chunk.sentAt = talvex::GetTickCount();
        return true;
    };
    const auto startChunk = [&](ChunkInFlight& chunk) {
        chunk = ChunkInFlight{};
        if (next >= chunkCount) return true;
        chunk.index = next++;
        return sendTry(chunk);
    };
    // Takes the complete answer of `chunk`, keeping what decides which answer is the call's.
    const auto noteAnswer = [&](const talvex::AwaitedReturn& entry) {
        const bool content = entry.block.m_nLength > 0;
        if (content || !answers.haveContent) m_CallChunkBlock = entry.block;
        answers.haveContent = answers.haveContent || content;
        answers.lastReference = entry.reference;
        std::scoped_lock lock(m_multiReturnLock);
        if (ReturnChunksBegan(entry.reference, peerSender)) {
            answers.chunkedReference = entry.reference;
        }
    };
    // One look at every chunk in flight: answered ones make room for the next chunk,
    // refused or timed-out ones are tried again. Runs with m_sendLock held, on the
    // calling thread or (through the listener) on the dispatch thread; true when the
    // calling thread has something to act on: all answered, or a chunk out of tries.
    const auto advance = [&] {
        if (failed) return true;
        try {
            const std::uint32_t now = talvex::GetTickCount();
            for (std::int32_t place = 0; place < width && !failed; ++place) {
                ChunkInFlight& chunk = window[place];
                talvex::AwaitedReturn* entry = chunk.entry;
                if (entry == nullptr) continue;
                if (entry->complete && entry->block.m_nType == RP_RETURN) {
                    noteAnswer(*entry);
                    talvex::AwaitedReturnTable::Close(entry);
                    ++answered;
                    failed = !startChunk(chunk);
                } else if (entry->complete || Expired(chunk, limit, now)) {
                    talvex::AwaitedReturnTable::Close(entry);
                    chunk.entry = nullptr;
                    failed = !sendTry(chunk);
                }
            }
        } catch (...) {
            failed = true;   // a send failed: the calling thread ends the call
        }
        return failed || answered >= chunkCount;
    };
    WindowListener<decltype(advance)> windowListener(advance);
    listener = &windowListener;
    // How long to wait for the next answer: until the first chunk in flight times out.
    const auto nextWait = [&] {
        if (limit == talvex::kInfinite) return talvex::kInfinite;
        const std::uint32_t now = talvex::GetTickCount();
        std::uint32_t wait = limit;
        for (std::int32_t place = 0; place < width; ++place) {
            if (window[place].entry == nullptr) continue;
            const std::uint32_t elapsed = now - window[place].sentAt;
            wait = std::min(wait, elapsed >= limit ? 0u : limit - elapsed);
        }
        return wait;
    };
    // A break ends the tries in flight, which count as failed; their chunks go again
    // while they have tries left.
    const auto breakTries = [&] {
        std::scoped_lock lock(m_sendLock);
        for (std::int32_t place = 0; place < width && !failed; ++place) {
            ChunkInFlight& chunk = window[place];
            if (chunk.entry == nullptr || chunk.entry->complete) continue;
            talvex::AwaitedReturnTable::Close(chunk.entry);
            chunk.entry = nullptr;
            failed = !sendTry(chunk);
        }
        return failed;
    };
    const auto closeAll = [&] {
        std::scoped_lock lock(m_sendLock);
        for (auto& chunk : window) talvex::AwaitedReturnTable::Close(chunk.entry);
        m_pAwaitedReturns->ReleaseWaker(waker);
    };

    bool ended = false;   // answered, failed, broken off or released
    try {
        {
            std::scoped_lock lock(m_sendLock);
            for (std::int32_t place = 0; place < width && !failed; ++place) failed = !startChunk(window[place]);
        }
        void* const events[2] = {waker, m_hBreakEvent};
        while (!ended) {
            std::uint32_t wait = 0;
            {
                // Reset before looking: an answer that ends the transfer after the look sets the waker again.
                talvex::ResetEvent(waker);
                std::scoped_lock lock(m_sendLock);
                ended = advance();
                wait = nextWait();
            }
            if (ended) break;
            const std::uint32_t woken = talvex::WaitForEvents(events, 2, wait);
            if (woken == talvex::kWaitObject0 + 1) {
                ended = breakTries();
            } else if ((woken != talvex::kWaitObject0 && woken != talvex::kWaitTimeout) || m_bReleasingCall.load()) {
                // A stop releases the call: a transfer cut short has no answer.
                std::scoped_lock lock(m_sendLock);
                failed = true;
                ended = true;
            }
        }
    } catch (...) {
        closeAll();
        throw;
    }
    closeAll();
    if (failed) return false;   // the peer keeps the chunks it holds; nothing more is sent
    // Every answer set the done event already, so this ends at once; only the multi
    // break event, when set alone, or the time-out end it with false.
    if (!WaitForMultiDone(timeout)) return false;

    std::int32_t chunkedReference = answers.chunkedReference;
    if (chunkedReference == 0 && !answers.haveContent) chunkedReference = answers.lastReference;
    if (chunkedReference != 0) {
        switch (TakeChunkedReturn(block, chunkedReference, peerSender, !answers.haveContent)) {
        case ChunkedReturn::Lost: return false;
        case ChunkedReturn::Taken: return true;
        case ChunkedReturn::None: break;
        }
    }
    std::scoped_lock lock(m_sendLock);
    *block = m_CallChunkBlock;   // the answer to the chunk that completed the transfer
    return true;
}
