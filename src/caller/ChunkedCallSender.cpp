#include "caller/ChunkedCallSender.h"

#include "caller/CounterCells.h"
#include "caller/WaiterReads.h"
#include "datablock/BlockMove.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <mutex>

namespace talvex {

namespace {
constexpr int kRecordWords = 512;
}  // namespace

ChunkedCallSender::ChunkedCallSender(CRP_CallerEx& caller, const CUdpDataBlockEx& block, std::int32_t chunkCount,
                                     const CSockAddr& peer, void* waker, std::int32_t timeout)
    : m_caller(caller),
      m_block(block),
      m_chunkCount(chunkCount),
      m_peer(peer),
      m_waker(waker),
      m_limit(timeout == 0 ? kInfinite : static_cast<std::uint32_t>(timeout)),
      m_transferReference(CRP_Caller::TakeReferenceNumber()),
      m_width(std::min(caller.GetChunksInFlight(), chunkCount)) {}

ChunkedCallSender::~ChunkedCallSender() {
    CloseTriesInFlight();
    if (m_sendFailure != nullptr) m_sendFailure->Delete();
}

bool ChunkedCallSender::Run(CUdpDataBlockEx& answer) {
    ResetEvent(m_caller.m_hMultiDoneEvent);
    ResetEvent(m_caller.m_hMultiBreakEvent);
    {
        std::scoped_lock lock(m_caller.m_callLock);
        for (std::int32_t place = 0; place < m_width; ++place) StartNextChunk(m_window[place]);
    }
    // The calling thread reads the caller's socket while it waits, so its chunks'
    // answers reach it whatever hook the dispatch thread runs.
    ReadingTurn turn(*m_caller.m_pWaiterReads, ReadingTurn::Leaving::kLazily);
    for (;;) {
        if (!SendTriesDue()) break;
        ResetEvent(m_waker);   // before the look: an answer after it sets it again
        std::uint32_t wait = 0;
        {
            std::scoped_lock lock(m_caller.m_callLock);
            LookAtTriesInFlight();
            if (Ended()) break;
            wait = TimeToFirstExpiry();
        }
        if (wait > 0 && m_caller.WaitForReturns(m_waker, wait, turn) == CRP_Caller::Woken::kBreak) {
            BreakTriesInFlight();
        }
    }
    CloseTriesInFlight();
    if (m_sendFailure != nullptr) throw std::exchange(m_sendFailure, nullptr);   // to the application
    CounterCells& counters = *m_caller.m_pCounters;
    if (m_failed) {   // a chunk out of tries: the peer keeps the chunks it holds
        counters.Add(m_stopped ? Counter::kBroken : Counter::kTimedOut);
        return false;
    }
    // The application's break of a chunked call, which nothing in the library sets.
    if (IsEventSet(m_caller.m_hMultiBreakEvent)) {
        counters.Add(Counter::kBroken);
        return false;
    }
    if (m_rank == Rank::kChunked && m_answerChunked.m_nLength == 0 &&
        m_caller.ReturnChunksLost(m_answerReference, m_chunksAnnounced, m_chunksArrived)) {
        return false;
    }
    counters.Add(Counter::kAnswered);
    std::scoped_lock lock(m_caller.m_callLock);
    m_caller.m_CallChunkBlock = m_answerPlain;   // shows the answer of the last chunk's call
    MoveBlockInto(m_answerChunked.m_nLength > 0 ? m_answerChunked : m_answerPlain, answer);
    return true;
}

// Sends, one at a time, every try that is due on the calling thread: the first chunks,
// and chunks whose try timed out or was broken off. False once the call has failed.
bool ChunkedCallSender::SendTriesDue() {
    for (;;) {
        std::int32_t record[kRecordWords];
        PendingCall* call = nullptr;
        {
            std::scoped_lock lock(m_caller.m_callLock);
            if (m_failed || m_sendFailure != nullptr) return false;
            for (std::int32_t place = 0; place < m_width && call == nullptr; ++place) {
                ChunkTry& slot = m_window[place];
                if (slot.index >= 0 && slot.call == nullptr) call = EnterTry(slot, record);
                if (m_failed) return false;
            }
        }
        if (call == nullptr) return true;
        try {
            m_caller.SendPacket(record + 1, record[0], m_peer);
        } catch (CBlockingSocketException* failure) {
            std::scoped_lock lock(m_caller.m_callLock);
            m_sendFailure = failure;
            return false;
        }
    }
}

// Enters the next try of `slot`'s chunk and builds its packet; nullptr (and the call
// failed) when the chunk has had all its tries.
PendingCall* ChunkedCallSender::EnterTry(ChunkTry& slot, std::int32_t* record) {
    if (slot.tries >= kChunkTries) {
        m_failed = true;
        return nullptr;
    }
    if (slot.tries > 0) m_caller.m_pCounters->Add(Counter::kChunkTriesRepeated);
    ++slot.tries;
    m_caller.m_pCounters->Add(Counter::kChunksSent);
    // Built anew for every try: a try is a call of its own with a reference of its own.
    CRP_CallerEx::BuildChunk(m_block, RP_MULTI_CALL, m_transferReference, m_chunkCount, slot.index, m_staging,
                             m_chunk);
    slot.call = m_caller.EnterCall(m_peer, m_chunk, m_waker, record);
    slot.call->window = this;
    slot.sentAt = GetTickCount();
    return slot.call;
}

void ChunkedCallSender::StartNextChunk(ChunkTry& slot) {
    slot = ChunkTry{};
    if (m_nextIndex < m_chunkCount) slot.index = m_nextIndex++;
}

PendingCall* ChunkedCallSender::OnTryAnswered(PendingCall& call, std::int32_t* record, bool& wakeOwner) {
    for (std::int32_t place = 0; place < m_width; ++place) {
        ChunkTry& slot = m_window[place];
        if (slot.call != &call) continue;
        if (call.returnBlock.m_nType != RP_RETURN) break;   // a failed try: the calling thread tries again
        KeepAnswer(call);
        PendingCalls::Close(&call);
        ++m_answered;
        StartNextChunk(slot);
        PendingCall* next = slot.index >= 0 ? EnterTry(slot, record) : nullptr;
        wakeOwner = Ended();
        return next;
    }
    wakeOwner = true;
    return nullptr;
}

void ChunkedCallSender::LookAtTriesInFlight() {
    const std::uint32_t now = GetTickCount();
    for (std::int32_t place = 0; place < m_width && !m_failed; ++place) {
        ChunkTry& slot = m_window[place];
        PendingCall* call = slot.call;
        if (call == nullptr) continue;
        if (call->released) m_failed = m_stopped = true;   // the caller stops: a transfer cut short has no answer
        if (call->sendFailure != nullptr) m_sendFailure = std::exchange(call->sendFailure, nullptr);
        if (m_failed || m_sendFailure != nullptr) return;
        const bool expired = m_limit != kInfinite && now - slot.sentAt >= m_limit;
        // A try whose answer is whole but has a chunk in another thread's hands is
        // settled by that thread once the chunk is stored.
        const bool settledOtherwise = call->complete && call->returnChunksInHand == 0;
        if (settledOtherwise || expired) {
            // Answered with another type, or not at all in time: the try failed.
            PendingCalls::Close(call);
            slot.call = nullptr;
        }
    }
}

void ChunkedCallSender::KeepAnswer(PendingCall& call) {
    const bool chunked = call.chunkedReturn.m_nLength > 0 || call.returnChunksAnnounced > 0;
    const Rank rank = chunked ? Rank::kChunked : call.returnBlock.m_nLength > 0 ? Rank::kWithWords : Rank::kLast;
    if (rank < m_rank) return;
    m_rank = rank;
    MoveBlockInto(call.returnBlock, m_answerPlain);
    MoveBlockInto(call.chunkedReturn, m_answerChunked);
    m_answerReference = call.reference;
    m_chunksAnnounced = call.returnChunksAnnounced;
    m_chunksArrived = call.returnChunksArrived;
}

void ChunkedCallSender::BreakTriesInFlight() {
    // A break ends the tries in flight, which count as failed; their chunks go again
    // while they have tries left.
    std::scoped_lock lock(m_caller.m_callLock);
    for (std::int32_t place = 0; place < m_width; ++place) {
        ChunkTry& slot = m_window[place];
        PendingCalls::Close(slot.call);
        slot.call = nullptr;
    }
}

std::uint32_t ChunkedCallSender::TimeToFirstExpiry() const {
    std::uint32_t wait = m_limit;
    const std::uint32_t now = GetTickCount();
    for (std::int32_t place = 0; place < m_width; ++place) {
        const ChunkTry& slot = m_window[place];
        if (slot.index >= 0 && slot.call == nullptr) return 0;   // a try is due
        if (slot.call == nullptr || m_limit == kInfinite) continue;
        const std::uint32_t elapsed = now - slot.sentAt;
        wait = std::min(wait, elapsed >= m_limit ? 0u : m_limit - elapsed);
    }
    return wait;
}

void ChunkedCallSender::CloseTriesInFlight() {
    std::scoped_lock lock(m_caller.m_callLock);
    for (ChunkTry& slot : m_window) {
        PendingCalls::Close(slot.call);
        slot.call = nullptr;
    }
}

}  // namespace talvex
