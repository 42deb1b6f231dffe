// Chunked returns of CRP_CallerEx: SendReturn sends an answer of more than 350 words
// as a burst of return chunks followed by an empty return that ends the caller's
// wait, and SendReturnMulti puts the chunks together again on the calling side.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/ChunkReassembly.h"

#include <algorithm>

#include <chrono>
#include <thread>

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kSendTimeoutSeconds = 120;
// The chunks of a return go out without waiting for their answers, faster than a
// receiver on the same machine can take them: a long burst overflows its socket
// buffer and loses chunks. A short pause after every burst of this many chunks lets
// the receiving dispatcher drain its buffer (about 45 KB per burst).
constexpr std::int32_t kChunksPerBurst = 32;
constexpr std::chrono::microseconds kPauseBetweenBursts{200};
}  // namespace

std::int32_t CRP_CallerEx::SendReturn(CUdpDataBlockEx* block) {
    if (m_bSharedMemory) return SharedSendReturn(block);
    if (block == nullptr) return 0;
    if (static_cast<std::uint32_t>(block->m_nLength) <= static_cast<std::uint32_t>(talvex::kMaxPacketDataWords)) {
        return CRP_Caller::SendReturn(block);
    }
    if (!m_bMultiEnabled) return 0;
    SendChunkedReturn(block);
    return 0;
}

void CRP_CallerEx::SendChunkedReturn(CUdpDataBlockEx* block) {
    CSockAddr destination;
    {
        std::scoped_lock lock(m_sendLock);
        destination = m_addrLastSender;   // every packet of one answer goes to the same peer
    }
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    // An answer whose words do not all lie in its buffer, or that the caller could
    // never put together, sends no chunks: the final empty return alone ends the
    // caller's wait with an empty answer, as a lost chunk would.
    if (block->m_nLength <= block->m_nCapacity && chunkCount <= talvex::kChunkSlots) {
        const std::int32_t transferReference = TakeReferenceNumber();
        for (std::int32_t index = 0; index < chunkCount; ++index) {
            if (index > 0 && index % kChunksPerBurst == 0) std::this_thread::sleep_for(kPauseBetweenBursts);
            BuildChunk(*block, RP_MULTI_RETURN, transferReference, static_cast<std::int32_t>(chunkCount), index,
                       m_abyReturnChunkStaging, m_ReturnChunkBlock);
            std::scoped_lock lock(m_sendLock);
            m_ReturnChunkBlock.GetPacketAt(0, m_PacketRecord, true);
            m_Socket.SendDatagram(reinterpret_cast<const char*>(m_PacketRecord + 1), m_PacketRecord[0], destination,
                                  kChunkSendTimeoutSeconds);
        }
    }
    std::scoped_lock lock(m_sendLock);
    m_addrReplyPeer = destination;
    m_ReplyBlock.m_nType = RP_RETURN;
    m_ReplyBlock.m_nProcedure = block->m_nProcedure;
    m_ReplyBlock.m_nReferenceNumber = block->m_nReferenceNumber;
    // Packet 0 is taken from position 0 whatever the answer's packet cursor says.
    m_ReplyBlock.m_nPacketPos = 0;
    m_ReplyBlock.m_nLength = 0;
    m_ReplyBlock.GetPacketAt(0, m_PacketRecord, true);
    m_Socket.SendDatagram(reinterpret_cast<const char*>(m_PacketRecord + 1), m_PacketRecord[0], destination,
                          kSendTimeoutSeconds);
    m_bBroadcastCall = false;
}

bool CRP_CallerEx::SendReturnMulti(CUdpDataBlockEx* block) {
    if (block == nullptr) return false;
    talvex::ChunkReassembly returns(m_mapChunks, m_abyReturnChunkStore, m_nLastReturnSlot, m_returnLedger);
    talvex::ChunkHeader header;
    const talvex::ChunkSender sender = SenderOfLastDatagram();
    const talvex::ChunkOutcome outcome = returns.Accept(*block, sender, &header);
    // Refused chunks and late repeats of a finished return are neither stored nor answered.
    if (outcome == talvex::ChunkOutcome::Refused || outcome == talvex::ChunkOutcome::Finished) return false;
    bool completed = false;
    {
        std::scoped_lock lock(m_multiReturnLock);
        const std::pair<std::int32_t, talvex::ChunkSender> began{block->m_nReferenceNumber, sender};
        if (!ReturnChunksBegan(began.first, began.second)) {
            m_aReturnChunksBegan[m_nReturnChunksBegan++ % m_aReturnChunksBegan.size()] = began;
        }
        if (outcome == talvex::ChunkOutcome::Completed) {
            m_MultiReturnBlock.Clear();
            completed = returns.Collect({sender, header.transferReference}, m_MultiReturnBlock);
            if (completed) {
                m_MultiReturnBlock.m_nType = RP_RETURN;
                m_MultiReturnBlock.m_nProcedure = block->m_nProcedure;
                m_MultiReturnBlock.m_nPacketPos = block->m_nPacketPos;
                m_MultiReturnBlock.m_nReferenceNumber = block->m_nReferenceNumber;
                m_nMultiReturnSender = sender;
            }
        }
    }
    if (completed) m_multiReturnArrived.notify_all();
    // Every stored return chunk is acknowledged, the completing one too.
    block->ResetForReturn();
    CRP_Caller::SendReturn(block);
    return completed;
}

bool CRP_CallerEx::ReturnChunksBegan(std::int32_t reference, talvex::ChunkSender sender) const {
    const std::size_t known = std::min(m_nReturnChunksBegan, m_aReturnChunksBegan.size());
    for (std::size_t i = 0; i < known; ++i) {
        if (m_aReturnChunksBegan[i].first == reference && m_aReturnChunksBegan[i].second == sender) return true;
    }
    return false;
}
