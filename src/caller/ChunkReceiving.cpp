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

// With the chunk index lock held: stores the chunk in `block`; when it completes its
// transfer, puts the transfer together into `assembled`, with `block`'s header and
// message type `type`. `collected` tells whether that happened.
ArrivedChunk StoreAndCollect(talvex::ChunkReassembly& reassembly, const CUdpDataBlockEx& block, const CSockAddr& from,
                             CUdpDataBlockEx& assembled, std::int32_t type, bool& collected) {
    ArrivedChunk arrived = Arrive(reassembly, block, from);
    collected = false;
    if (arrived.outcome != talvex::ChunkOutcome::Completed) return arrived;
    assembled.Clear();
    collected = reassembly.Collect(arrived.Transfer(), assembled);
    if (collected) {
        assembled.m_nType = type;
        assembled.m_nProcedure = block.m_nProcedure;
        assembled.m_nPacketPos = block.m_nPacketPos;
        assembled.m_nReferenceNumber = block.m_nReferenceNumber;
    }
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
        // m_MultiCallBlock is the dispatch thread's alone: call chunks are stored nowhere else.
        std::scoped_lock lock(m_chunkIndexLock);
        talvex::ChunkReassembly calls(m_mapChunks, m_abyCallChunkStore, m_nLastCallSlot, m_callLedger);
        arrived = StoreAndCollect(calls, *block, from, m_MultiCallBlock, block->m_nType, collected);
    }
    if (arrived.Ignored()) {
        m_pCounters->Add(talvex::Counter::kChunksRefused);
        return;
    }
    if (arrived.outcome == talvex::ChunkOutcome::Completed) {
        if (!collected) return;
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
        arrived = StoreAndCollect(returns, *block, from, m_ReturnAssembly, RP_RETURN, completed);
        if (completed) DeliverChunkedReturn(arrived.from);
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
