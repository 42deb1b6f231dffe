// Receiving chunks, on the dispatch thread: DoRemoteFunctionMulti stores call chunks and
// hands a completed call to DoRemoteFunction; SendReturnMulti stores return chunks and
// hands a completed return to the call in flight it answers.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/ChunkReassembly.h"
#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "datablock/BlockMove.h"
#include "talvex05u/platform/Event.h"

namespace {

// One arriving chunk as its direction's store took it.
struct ArrivedChunk {
    CSockAddr from;
    talvex::ChunkSender sender = 0;
    talvex::ChunkHeader header;
    talvex::ChunkOutcome outcome = talvex::ChunkOutcome::Refused;

    // A refused chunk gets no answer: its sender's tries end in false instead of in a
    // transfer that silently never completes. A late repeat of a chunk of a transfer
    // already served gets none either: an empty acknowledgement would reach its sender
    // as if it were the answer.
    bool Ignored() const {
        return outcome == talvex::ChunkOutcome::Refused || outcome == talvex::ChunkOutcome::Finished;
    }
    talvex::TransferKey Transfer() const { return {sender, header.transferReference}; }
};

ArrivedChunk Arrive(talvex::ChunkReassembly& store, const CUdpDataBlockEx& chunk, const CSockAddr& from) {
    ArrivedChunk arrived;
    arrived.from = from;
    arrived.sender = talvex::ChunkSenderOf(from);
    arrived.outcome = store.Accept(chunk, arrived.sender, &arrived.header);
    return arrived;
}

}  // namespace

CSockAddr CRP_CallerEx::ServedSender() const {
    std::scoped_lock lock(m_callLock);
    return ReplyDestination();
}

void CRP_CallerEx::DoRemoteFunctionMulti(CUdpDataBlockEx* block) {
    if (block == nullptr) return;
    const CSockAddr from = ServedSender();
    ArrivedChunk arrived;
    bool collected = false;
    {
        std::scoped_lock lock(m_chunkIndexLock);
        talvex::ChunkReassembly calls(m_mapChunks, m_abyCallChunkStore, m_nLastCallSlot, m_callLedger);
        arrived = Arrive(calls, *block, from);
        // m_MultiCallBlock is the dispatch thread's alone: call chunks are stored nowhere else.
        if (arrived.outcome == talvex::ChunkOutcome::Completed) {
            m_MultiCallBlock.Clear();
            collected = calls.Collect(arrived.Transfer(), m_MultiCallBlock);
        }
    }
    if (arrived.Ignored()) {
        m_pCounters->Add(talvex::Counter::kChunksRefused);
        return;
    }
    if (arrived.outcome == talvex::ChunkOutcome::Completed) {
        if (!collected) return;
        m_MultiCallBlock.m_nType = block->m_nType;
        m_MultiCallBlock.m_nProcedure = block->m_nProcedure;
        m_MultiCallBlock.m_nPacketPos = block->m_nPacketPos;
        m_MultiCallBlock.m_nReferenceNumber = block->m_nReferenceNumber;
        // The application answers the completing chunk's call from DoRemoteFunction.
        m_pCounters->Add(talvex::Counter::kServed);
        DoRemoteFunction(&m_MultiCallBlock);
        return;
    }
    // Stored chunks and repeats (stored once, answered each time) get an empty return.
    SendAcknowledgement(block);
}

bool CRP_CallerEx::SendReturnMulti(CUdpDataBlockEx* block) {
    if (block == nullptr) return false;
    const CSockAddr from = ServedSender();
    ArrivedChunk arrived;
    bool completed = false;
    {
        std::scoped_lock lock(m_chunkIndexLock);
        talvex::ChunkReassembly returns(m_mapChunks, m_abyReturnChunkStore, m_nLastReturnSlot, m_returnLedger);
        arrived = Arrive(returns, *block, from);
        if (arrived.outcome == talvex::ChunkOutcome::Completed) {
            m_ReturnAssembly.Clear();
            completed = returns.Collect(arrived.Transfer(), m_ReturnAssembly);
            if (completed) {
                m_ReturnAssembly.m_nType = RP_RETURN;
                m_ReturnAssembly.m_nProcedure = block->m_nProcedure;
                m_ReturnAssembly.m_nPacketPos = block->m_nPacketPos;
                m_ReturnAssembly.m_nReferenceNumber = block->m_nReferenceNumber;
                DeliverChunkedReturn(arrived.from);
            }
        }
    }
    if (arrived.Ignored()) {
        m_pCounters->Add(talvex::Counter::kChunksRefused);
        return false;
    }
    // Every stored return chunk is acknowledged, the completing one too.
    SendAcknowledgement(block);
    return completed;
}

void CRP_CallerEx::DeliverChunkedReturn(const CSockAddr& from) {
    void* wake = nullptr;
    {
        std::scoped_lock lock(m_callLock);
        talvex::PendingCall* call = m_pCalls->Find(m_ReturnAssembly.m_nReferenceNumber, from, false);
        if (call != nullptr) {
            talvex::MoveBlockInto(m_ReturnAssembly, call->chunkedReturn);
            // Its final return came first: the call may be waiting for these chunks.
            if (call->complete) wake = call->waker;
        } else {
            // No call awaits it (late, or a stranger's): it stays where the next call empties it.
            talvex::MoveBlockInto(m_ReturnAssembly, m_MultiReturnBlock);
        }
    }
    if (wake != nullptr) talvex::SetEvent(wake);
}
