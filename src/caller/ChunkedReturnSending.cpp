// Answers of CRP_CallerEx: an answer of up to 350 words goes as one return; a longer
// one as a burst of return chunks followed by the final empty return that ends the
// caller's wait.
#include "talvex05u/caller/RP_CallerEx.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kRecordWords = 512;
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
        std::scoped_lock lock(m_callLock);
        destination = ReplyDestination();   // every packet of one answer goes to the same peer
    }
    std::int32_t record[kRecordWords];
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    // An answer whose words do not all lie in its buffer, or that the caller could
    // never put together, sends no chunks: the final empty return alone ends the
    // caller's wait with an empty answer, as a lost chunk would.
    if (block->m_nLength <= block->m_nCapacity && chunkCount <= talvex::kChunkSlots) {
        std::scoped_lock chunkLock(m_returnChunkLock);
        const std::int32_t transferReference = TakeReferenceNumber();
        for (std::int32_t index = 0; index < chunkCount; ++index) {
            if (index > 0 && index % kChunksPerBurst == 0) std::this_thread::sleep_for(kPauseBetweenBursts);
            BuildChunk(*block, RP_MULTI_RETURN, transferReference, static_cast<std::int32_t>(chunkCount), index,
                       m_abyReturnChunkStaging, m_ReturnChunkBlock);
            m_ReturnChunkBlock.GetPacketAt(0, record, true);
            SendPacket(record + 1, record[0], destination, kChunkSendTimeoutSeconds);
        }
    }
    {
        std::scoped_lock lock(m_callLock);
        m_addrReplyPeer = destination;
        m_ReplyBlock.m_nType = RP_RETURN;
        m_ReplyBlock.m_nProcedure = block->m_nProcedure;
        m_ReplyBlock.m_nReferenceNumber = block->m_nReferenceNumber;
        // Packet 0 is taken from position 0 whatever the answer's packet cursor says.
        m_ReplyBlock.m_nPacketPos = 0;
        m_ReplyBlock.m_nLength = 0;
        m_ReplyBlock.GetPacketAt(0, m_PacketRecord, true);
        std::memcpy(record, m_PacketRecord, sizeof record);
    }
    SendPacket(record + 1, record[0], destination);
    std::scoped_lock lock(m_callLock);
    m_bBroadcastCall = false;
}
