// Chunked calls of CRP_CallerEx: CallProcedure cuts a block of more than 350 words
// into chunks, each sent as a call of its own (see ChunksInFlight.cpp), and
// DoRemoteFunctionMulti puts the chunks together again on the serving side.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/ChunkReassembly.h"
#include "talvex05u/platform/Event.h"

#include <algorithm>
#include <chrono>
#include <optional>

namespace {
// How long a call waits for the missing chunks of its return after the final return
// came, when a lost chunk is to end it with false.
constexpr std::chrono::milliseconds kLateReturnChunkGrace{20};
}  // namespace

bool CRP_CallerEx::CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    if (m_bSharedMemory) return SharedCallProcedure(block, timeout);
    if (block == nullptr) return false;
    {
        std::scoped_lock lock(m_multiReturnLock);
        m_MultiReturnBlock.Clear();
        m_nReturnChunksReference = 0;
    }
    if (static_cast<std::uint32_t>(block->m_nLength) <= static_cast<std::uint32_t>(talvex::kMaxPacketDataWords)) {
        CSockAddr destination;
        {
            std::scoped_lock lock(m_sendLock);
            destination = m_addrRemote;
        }
        if (destination.sin_port == 0) return true;
        // Kept only when a lost return chunk is to end the call with its block unchanged.
        std::optional<CUdpDataBlockEx> original;
        if (m_bFailOnLostReturnChunks) original.emplace(*block);
        std::int32_t reference = 0;
        if (!CallAndWait(destination, block, timeout, reference)) return false;
        if (TakeChunkedReturn(block, reference, talvex::ChunkSenderOf(destination)) == ChunkedReturn::Lost) {
            *block = *original;
            return false;
        }
        return true;
    }
    if (!m_bMultiEnabled) return false;
    // A block whose words do not all lie in its buffer cannot be cut; one of more
    // chunks than the receiver has slots could never be put together again.
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    if (block->m_nLength > block->m_nCapacity || chunkCount > talvex::kChunkSlots) return false;
    return SendChunkedCall(block, static_cast<std::int32_t>(chunkCount), timeout);
}

void CRP_CallerEx::SetChunksInFlight(std::int32_t count) {
    m_nChunksInFlight = std::clamp(count, std::int32_t{1}, talvex::kMaxChunksInFlight);
}

std::int32_t CRP_CallerEx::GetChunksInFlight() const { return m_nChunksInFlight.load(); }

CRP_CallerEx::ChunkedReturn CRP_CallerEx::TakeChunkedReturn(CUdpDataBlockEx* block, std::int32_t reference,
                                                           talvex::ChunkSender peer) {
    std::unique_lock lock(m_multiReturnLock);
    const auto chunkedReturnIsOurs = [&] {
        return m_MultiReturnBlock.m_nLength > 0 && m_MultiReturnBlock.m_nReferenceNumber == reference &&
               m_nMultiReturnSender == peer;
    };
    const bool chunksBegan = m_nReturnChunksReference == reference && m_nReturnChunksSender == peer;
    if (m_bFailOnLostReturnChunks && chunksBegan && !chunkedReturnIsOurs()) {
        // The final return may overtake the last chunks on the wire: give them a moment.
        m_multiReturnArrived.wait_for(lock, kLateReturnChunkGrace, chunkedReturnIsOurs);
        if (!chunkedReturnIsOurs()) return ChunkedReturn::Lost;
    }
    // A chunked return that completed late belongs to an earlier call: it is dropped,
    // never handed out as the answer of this one.
    const bool ours = chunkedReturnIsOurs();
    if (ours) *block = m_MultiReturnBlock;
    m_MultiReturnBlock.Clear();
    return ours ? ChunkedReturn::Taken : ChunkedReturn::None;
}

talvex::ChunkSender CRP_CallerEx::SenderOfLastDatagram() {
    std::scoped_lock lock(m_sendLock);
    return talvex::ChunkSenderOf(m_addrLastSender);
}

void CRP_CallerEx::DoRemoteFunctionMulti(CUdpDataBlockEx* block) {
    if (block == nullptr) return;
    talvex::ChunkReassembly calls(m_mapChunks, m_abyCallChunkStore, m_nLastCallSlot, m_callLedger);
    talvex::ChunkHeader header;
    const talvex::ChunkSender sender = SenderOfLastDatagram();
    const talvex::ChunkOutcome outcome = calls.Accept(*block, sender, &header);
    // A refused chunk gets no answer: its sender's tries end in false instead of in a
    // transfer that silently never completes.
    if (outcome == talvex::ChunkOutcome::Refused) return;
    if (outcome == talvex::ChunkOutcome::Completed) {
        m_MultiCallBlock.Clear();
        if (!calls.Collect({sender, header.transferReference}, m_MultiCallBlock)) return;
        m_MultiCallBlock.m_nType = block->m_nType;
        m_MultiCallBlock.m_nProcedure = block->m_nProcedure;
        m_MultiCallBlock.m_nPacketPos = block->m_nPacketPos;
        m_MultiCallBlock.m_nReferenceNumber = block->m_nReferenceNumber;
        // The application answers the completing chunk's call from DoRemoteFunction.
        DoRemoteFunction(&m_MultiCallBlock);
        return;
    }
    // Stored chunks and repeats (stored once, answered each time) get an empty return.
    block->ResetForReturn();
    CRP_Caller::SendReturn(block);
}
