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
        if (TakeChunkedReturn(block, reference, talvex::ChunkSenderOf(destination), block->m_nLength == 0) ==
            ChunkedReturn::Lost) {
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

bool CRP_CallerEx::WaitForMultiDone(std::int32_t timeout) {
    const std::uint32_t limit = timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
    void* const events[2] = {m_hMultiDoneEvent, m_hMultiBreakEvent};
    return talvex::WaitForEvents(events, 2, limit) == talvex::kWaitObject0;
}

void CRP_CallerEx::SetChunksInFlight(std::int32_t count) {
    m_nChunksInFlight = std::clamp(count, std::int32_t{1}, talvex::kMaxChunksInFlight);
}

std::int32_t CRP_CallerEx::GetChunksInFlight() const { return m_nChunksInFlight.load(); }

CRP_CallerEx::ChunkedReturn CRP_CallerEx::TakeChunkedReturn(CUdpDataBlockEx* block, std::int32_t reference,
                                                           talvex::ChunkSender peer, bool answerEmpty) {
    std::unique_lock lock(m_multiReturnLock);
    const auto chunkedReturnIsOurs = [&] {
        return m_MultiReturnBlock.m_nLength > 0 && m_MultiReturnBlock.m_nReferenceNumber == reference &&
               m_nMultiReturnSender == peer;
    };
    const auto chunksBegan = [&] { return ReturnChunksBegan(reference, peer); };
    // The final empty return may overtake some or all of the chunks on the wire: when a
    // lost chunk is to fail the call, an empty answer gives them a moment to come.
    if (m_bFailOnLostReturnChunks && answerEmpty && !chunkedReturnIsOurs()) {
        m_multiReturnArrived.wait_for(lock, kLateReturnChunkGrace, chunkedReturnIsOurs);
        if (!chunkedReturnIsOurs() && chunksBegan()) return ChunkedReturn::Lost;
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
    // A late repeat of a chunk of a transfer that is already served gets no answer either:
    // an empty acknowledgement would reach its sender as if it were the answer.
    if (outcome == talvex::ChunkOutcome::Refused || outcome == talvex::ChunkOutcome::Finished) return;
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
