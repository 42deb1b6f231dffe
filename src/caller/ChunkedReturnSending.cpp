// Answers of CRP_CallerEx: an answer of up to 350 words goes as one return; a longer
// one as a burst of return chunks followed by the final empty return that ends the
// caller's wait.
#include "talvex05u/caller/RP_CallerEx.h"

#include "datablock/PacketRecord.h"

#include "caller/CounterCells.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kRecordWords = 512;
// The chunks of a return go out without waiting for their answers, and a receiver that
// is slower for a moment than the sender loses what its socket buffer cannot hold.
// Every peer that puts chunks together acknowledges each one, so a return sent from a
// hook (on the dispatch thread, which reads those acknowledgements) keeps at most this
// many chunks unacknowledged: about 300 KB of the receiver's buffer.
constexpr std::int32_t kUnacknowledgedChunks = 128;
// A peer that acknowledges nothing (a plain caller) is known by this silence; one that
// acknowledged before and then stays silent this long is no longer waited for.
constexpr std::uint32_t kFirstAcknowledgementMs = 50;
constexpr std::uint32_t kAcknowledgementStallMs = 1000;
// Without acknowledgements, a short pause after every burst of this many chunks lets the
// receiving dispatcher drain its buffer (about 45 KB per burst).
constexpr std::int32_t kChunksPerBurst = 32;
constexpr std::chrono::microseconds kPauseBetweenBursts{200};

}  // namespace

// The acknowledgements of one chunked return: empty returns with its reference number
// from the peer it goes to.
struct talvex::ReturnAcknowledgements {
    CSockAddr peer;
    std::int32_t reference = 0;
    std::int64_t received = 0;
    bool flowing = true;   // false once the peer is known not to acknowledge in time

    static bool IsOne(void* self, const std::int32_t* words, int size, const CSockAddr& sender) {
        const auto& acks = *static_cast<const ReturnAcknowledgements*>(self);
        return size == 16 && words[0] == RP_RETURN && words[2] == acks.reference && words[3] == 0 &&
               sender.sin_port == acks.peer.sin_port && sender.sin_addr.s_addr == acks.peer.sin_addr.s_addr;
    }
};

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

void CRP_CallerEx::WaitForRoom(std::int32_t index, talvex::ReturnAcknowledgements& acks) {
    while (acks.flowing && index - acks.received >= kUnacknowledgedChunks) {
        const std::uint32_t patience = acks.received == 0 ? kFirstAcknowledgementMs : kAcknowledgementStallMs;
        switch (ReadDuringHook(patience, &talvex::ReturnAcknowledgements::IsOne, &acks)) {
        case HookRead::kAck: ++acks.received; break;
        case HookRead::kKept: break;
        case HookRead::kNothing:
        case HookRead::kFull: acks.flowing = false; break;
        }
    }
}

void CRP_CallerEx::SendChunkedReturn(CUdpDataBlockEx* block) {
    m_pCounters->Add(talvex::Counter::kReturnsSent);
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
        talvex::ReturnAcknowledgements acks{destination, block->m_nReferenceNumber, 0, InHook()};
        for (std::int32_t index = 0; index < chunkCount; ++index) {
            if (acks.flowing) {
                WaitForRoom(index, acks);
            } else if (index > 0 && index % kChunksPerBurst == 0) {
                std::this_thread::sleep_for(kPauseBetweenBursts);
            }
            BuildChunk(*block, RP_MULTI_RETURN, transferReference, static_cast<std::int32_t>(chunkCount), index,
                       m_abyReturnChunkStaging, m_ReturnChunkBlock);
            m_ReturnChunkBlock.GetPacketAt(0, record, true);
            SendPacket(record + 1, record[0], destination, kChunkSendTimeoutSeconds);
            m_pCounters->Add(talvex::Counter::kChunksSent);
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
        talvex::CopyPacketRecord(record, m_PacketRecord);
    }
    SendPacket(record + 1, record[0], destination);
    std::scoped_lock lock(m_callLock);
    m_bBroadcastCall = false;
}
