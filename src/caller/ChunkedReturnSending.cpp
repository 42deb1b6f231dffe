// Answers of CRP_CallerEx: an answer of up to 350 words goes as one return; a longer
// one as chunks followed by the final empty return that ends the caller's wait, sent by
// the caller's answer thread (AnswerSender) with flow control of its own.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/AnswerSender.h"
#include "caller/CounterCells.h"
#include "datablock/PacketRecord.h"
#include "socket/EndpointText.h"
#include "talvex05u/platform/System.h"

#include <string>

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kRecordWords = 512;
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

void CRP_CallerEx::ReportAnswerCutShort(const CSockAddr& destination, std::int32_t reference, std::int32_t chunks,
                                        const std::string& why) {
    m_pCounters->Add(talvex::Counter::kAnswersCutShort);
    const std::string line = "Answer " + std::to_string(reference) + " to " + talvex::EndpointText(destination) + ": " +
                             why + "; the other " + std::to_string(chunks) + " chunks are not sent";
    talvex::EmitDiagnostic(line.c_str());
}

void CRP_CallerEx::SendWholeBurst(const CUdpDataBlockEx& block, const CSockAddr& destination, std::int32_t chunkCount) {
    const std::int32_t transferReference = TakeReferenceNumber();
    CUdpDataBlockEx chunk;
    unsigned char staging[talvex::kChunkBytes];
    std::int32_t record[kRecordWords];
    for (std::int32_t index = 0; index < chunkCount; ++index) {
        BuildChunk(block, RP_MULTI_RETURN, transferReference, chunkCount, index, staging, chunk);
        chunk.GetPacketAt(0, record, true);
        SendPacket(record + 1, record[0], destination, kChunkSendTimeoutSeconds);
        m_pCounters->Add(talvex::Counter::kChunksSent);
    }
}

void CRP_CallerEx::SendChunkedReturn(CUdpDataBlockEx* block) {
    m_pCounters->Add(talvex::Counter::kReturnsSent);
    CSockAddr destination;
    std::int32_t record[kRecordWords];
    {
        std::scoped_lock lock(m_callLock);
        destination = ReplyDestination();   // every packet of one answer goes to the same peer
        // m_ReplyBlock shows the final empty return, as the last return sent.
        KeepReplyForPulling();
        m_addrReplyPeer = destination;
        m_ReplyBlock.m_nType = RP_RETURN;
        m_ReplyBlock.m_nProcedure = block->m_nProcedure;
        m_ReplyBlock.m_nReferenceNumber = block->m_nReferenceNumber;
        // Packet 0 is taken from position 0 whatever the answer's packet cursor says.
        m_ReplyBlock.m_nPacketPos = 0;
        m_ReplyBlock.m_nLength = 0;
        m_ReplyBlock.GetPacketAt(0, m_PacketRecord, true);
        talvex::CopyPacketRecord(record, m_PacketRecord);
        m_bBroadcastCall = false;
    }
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    // An answer whose words do not all lie in its buffer, or that the caller could
    // never put together, sends no chunks: the final empty return alone ends the
    // caller's wait with an empty answer, as a lost chunk would.
    const bool sendable = block->m_nLength <= block->m_nCapacity && chunkCount <= talvex::kChunkSlots;
    if (sendable && SendsToSeam()) {
        // A test seam takes the datagrams at once and no acknowledgement can be waited for.
        SendWholeBurst(*block, destination, static_cast<std::int32_t>(chunkCount));
    } else if (sendable) {
        // The block a hook was given is the library's own and read by nobody after the hook:
        // its words go to the answer thread as they are. Any other block is copied.
        const bool working = block == &m_MultiCallBlock || IsWorkingBlock(block);
        if (!m_pAnswerSender->Queue(*block, working, destination, static_cast<std::int32_t>(chunkCount))) {
            const std::string line = "Answer " + std::to_string(block->m_nReferenceNumber) + ": not sent, " +
                                     std::to_string(talvex::AnswerSender::kMostPending) +
                                     " chunked answers already wait to be sent (or the caller stops)";
            talvex::EmitDiagnostic(line.c_str());
        }
        return;   // the answer thread sends the chunks and then the final return
    }
    SendPacket(record + 1, record[0], destination);
}
