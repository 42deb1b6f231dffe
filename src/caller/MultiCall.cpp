// Chunked calls of CRP_CallerEx: CallProcedure cuts a block of more than 350 words
// into chunks, each sent as a call of its own and answered before the next, and
// DoRemoteFunctionMulti puts the chunks together again on the serving side.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/ChunkReassembly.h"
#include "talvex05u/platform/Event.h"

bool CRP_CallerEx::CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    if (m_bSharedMemory) return SharedCallProcedure(block, timeout);
    if (block == nullptr) return false;
    {
        std::scoped_lock lock(m_multiReturnLock);
        m_MultiReturnBlock.Clear();
    }
    if (static_cast<std::uint32_t>(block->m_nLength) <= static_cast<std::uint32_t>(talvex::kMaxPacketDataWords)) {
        const bool answered = CRP_Caller::CallProcedure(block, timeout);
        if (answered) TakeMultiReturn(block, LastCallReference());
        return answered;
    }
    if (!m_bMultiEnabled) return false;
    // A block whose words do not all lie in its buffer cannot be cut; one of more
    // chunks than the receiver has slots could never be put together again.
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    if (block->m_nLength > block->m_nCapacity || chunkCount > talvex::kChunkSlots) return false;

    const std::int32_t transferReference = TakeReferenceNumber();
    talvex::ResetEvent(m_hMultiDoneEvent);
    talvex::ResetEvent(m_hMultiBreakEvent);
    for (std::int32_t index = 0; index < chunkCount; ++index) {
        if (!SendCallChunk(*block, transferReference, static_cast<std::int32_t>(chunkCount), index, timeout)) {
            return false;   // the peer keeps the chunks it holds; nothing more is sent
        }
    }
    if (!WaitForMultiDone(timeout)) return false;
    if (TakeMultiReturn(block, LastCallReference())) return true;
    // The answer to the last chunk's call, as the base call left it in the chunk block.
    *block = m_CallChunkBlock;
    return true;
}

bool CRP_CallerEx::SendCallChunk(const CUdpDataBlockEx& block, std::int32_t transferReference,
                                 std::int32_t chunkCount, std::int32_t index, std::int32_t timeout) {
    SetRemoteSocket(m_nMultiPort, m_nMultiAddress);
    for (std::int32_t attempt = 0; attempt < talvex::kChunkTries; ++attempt) {
        // Built anew for every try: a failed try may have left another answer in the block.
        BuildChunk(block, RP_MULTI_CALL, transferReference, chunkCount, index, m_abyChunkStaging, m_CallChunkBlock);
        if (CRP_Caller::CallProcedure(&m_CallChunkBlock, timeout) && m_CallChunkBlock.m_nType == RP_RETURN) {
            return true;
        }
    }
    return false;
}

bool CRP_CallerEx::WaitForMultiDone(std::int32_t timeout) {
    // The answer to every chunk sets m_hMultiDoneEvent, so this normally ends at once;
    // only m_hMultiBreakEvent or the time-out end it with failure.
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
    void* const events[2] = {m_hMultiDoneEvent, m_hMultiBreakEvent};
    return talvex::WaitForEvents(events, 2, limit) == talvex::kWaitObject0;
}

// Reference number of the base call made last (a plain call, or the last chunk's call),
// which a chunked answer to it carries.
std::int32_t CRP_CallerEx::LastCallReference() {
    std::scoped_lock lock(m_sendLock);
    return m_CallBlock.m_nReferenceNumber;
}

bool CRP_CallerEx::TakeMultiReturn(CUdpDataBlockEx* block, std::int32_t awaitedReference) {
    std::scoped_lock lock(m_multiReturnLock);
    if (m_MultiReturnBlock.m_nLength <= 0) return false;
    // A chunked return that completed late belongs to an earlier call: it is dropped,
    // never handed out as the answer of this one.
    const bool ours = m_MultiReturnBlock.m_nReferenceNumber == awaitedReference;
    if (ours) *block = m_MultiReturnBlock;
    m_MultiReturnBlock.Clear();
    return ours;
}

void CRP_CallerEx::DoRemoteFunctionMulti(CUdpDataBlockEx* block) {
    if (block == nullptr) return;
    talvex::ChunkReassembly calls(m_mapChunks, m_abyCallChunkStore, m_nLastCallSlot, m_callLedger);
    talvex::ChunkHeader header;
    if (calls.Accept(*block, &header) == talvex::ChunkOutcome::Completed) {
        m_MultiCallBlock.Clear();
        if (calls.Collect(header.transferReference, m_MultiCallBlock)) {
            m_MultiCallBlock.m_nType = block->m_nType;
            m_MultiCallBlock.m_nProcedure = block->m_nProcedure;
            m_MultiCallBlock.m_nPacketPos = block->m_nPacketPos;
            m_MultiCallBlock.m_nReferenceNumber = block->m_nReferenceNumber;
            // The application answers the completing chunk's call from DoRemoteFunction.
            DoRemoteFunction(&m_MultiCallBlock);
            return;
        }
    }
    // Every other chunk is acknowledged with an empty return: stored ones, repeats
    // (only answered), and refused ones. A sender whose chunk was refused sees its
    // try succeed; its transfer then never completes, DoRemoteFunction never runs,
    // and its call ends with the empty acknowledgement of its last chunk as answer
    // (or by its time-out when a later chunk goes unanswered).
    block->ResetForReturn();
    CRP_Caller::SendReturn(block);
}
