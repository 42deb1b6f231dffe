#include "caller/ChunkedCallSender.h"

#include "caller/PendingCalls.h"
#include "caller/WaiterReads.h"
#include "datablock/BlockMove.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <mutex>

namespace talvex {

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

ChunkedCallSender::~ChunkedCallSender() { CloseTriesInFlight(); }

bool ChunkedCallSender::Run(CUdpDataBlockEx& answer) {
    ResetEvent(m_caller.m_hMultiDoneEvent);
    ResetEvent(m_caller.m_hMultiBreakEvent);
    ReadingTurn turn(*m_caller.m_pWaiterReads);
    for (std::int32_t place = 0; place < m_width; ++place) StartNextChunk(m_window[place]);
    for (;;) {
        if (!SendPendingTries()) return false;   // a chunk out of tries: the peer keeps what it has
        ResetEvent(m_waker);   // before the look: an answer after it sets it again
        LookAtTriesInFlight();
        if (m_failed) return false;
        if (AllAnswered()) break;
        const std::uint32_t wait = TimeToFirstExpiry();
        if (wait > 0 && m_caller.WaitForReturns(m_waker, wait, turn) == CRP_Caller::Woken::kBreak) {
            BreakTriesInFlight();
        }
    }
    // The application's break of a chunked call, which nothing in the library sets.
    if (IsEventSet(m_caller.m_hMultiBreakEvent)) return false;
    if (m_rank == Rank::kChunked && m_answerChunked.m_nLength == 0 &&
        m_caller.ReturnChunksLost(m_answerReference, m_chunksAnnounced, m_chunksArrived)) {
        return false;
    }
    std::scoped_lock lock(m_caller.m_callLock);
    m_caller.m_CallChunkBlock = m_answerPlain;   // shows the answer of the last chunk's call
    MoveBlockInto(m_answerChunked.m_nLength > 0 ? m_answerChunked : m_answerPlain, answer);
    return true;
}

void ChunkedCallSender::StartNextChunk(ChunkTry& slot) {
    slot = ChunkTry{};
    if (m_nextIndex >= m_chunkCount) return;
    slot.index = m_nextIndex++;
    slot.needsTry = true;
}

bool ChunkedCallSender::SendPendingTries() {
    for (std::int32_t place = 0; place < m_width; ++place) {
        ChunkTry& slot = m_window[place];
        if (slot.needsTry && !SendTry(slot)) return false;
    }
    return true;
}

bool ChunkedCallSender::SendTry(ChunkTry& slot) {
    if (slot.tries >= kChunkTries) return false;
    ++slot.tries;
    slot.needsTry = false;
    // Built anew for every try: a try is a call of its own with a reference of its own.
    CRP_CallerEx::BuildChunk(m_block, RP_MULTI_CALL, m_transferReference, m_chunkCount, slot.index, m_staging, m_chunk);
    slot.call = m_caller.StartCall(m_peer, m_chunk, m_waker, false);
    slot.sentAt = GetTickCount();
    return true;
}

void ChunkedCallSender::LookAtTriesInFlight() {
    std::scoped_lock lock(m_caller.m_callLock);
    const std::uint32_t now = GetTickCount();
    for (std::int32_t place = 0; place < m_width; ++place) {
        ChunkTry& slot = m_window[place];
        PendingCall* call = slot.call;
        if (call == nullptr) continue;
        if (call->released) {
            m_failed = true;   // the caller stops: a transfer cut short has no answer
            return;
        }
        const bool expired = m_limit != kInfinite && now - slot.sentAt >= m_limit;
        if (call->complete && call->returnBlock.m_nType == RP_RETURN) {
            KeepAnswer(*call);
            PendingCalls::Close(call);
            ++m_answered;
            StartNextChunk(slot);
        } else if (call->complete || expired) {
            // Answered with another type, or not at all in time: the try failed.
            PendingCalls::Close(call);
            slot.call = nullptr;
            slot.needsTry = true;
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
        if (slot.call == nullptr || slot.call->complete) continue;
        PendingCalls::Close(slot.call);
        slot.call = nullptr;
        slot.needsTry = true;
    }
}

std::uint32_t ChunkedCallSender::TimeToFirstExpiry() const {
    std::uint32_t wait = m_limit;
    const std::uint32_t now = GetTickCount();
    for (std::int32_t place = 0; place < m_width; ++place) {
        const ChunkTry& slot = m_window[place];
        if (slot.needsTry) return 0;
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
