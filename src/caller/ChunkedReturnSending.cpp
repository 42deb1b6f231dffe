// Answers of CRP_CallerEx: an answer of up to 350 words goes as one return; a longer
// one as a burst of return chunks followed by the final empty return that ends the
// caller's wait. Each chunked answer has flow control of its own: it keeps at most
// kUnacknowledgedChunks chunks unacknowledged by its receiver.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/ChunkedAnswers.h"
#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "caller/WaiterReads.h"
#include "datablock/PacketRecord.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <arpa/inet.h>
#include <cstring>
#include <string>

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kRecordWords = 512;
// The chunks of a return go out without waiting for their answers, and a receiver that
// is slower for a moment than the sender loses what its socket buffer cannot hold.
// Every peer that puts chunks together acknowledges each one, so the answers to one
// receiver keep at most this many chunks unacknowledged: about 300 KB of its buffer.
constexpr std::int32_t kUnacknowledgedChunks = 128;
// Before its receiver has acknowledged anything, an answer sends only this many chunks
// (2,832 bytes on the wire): a call of 20 bytes from a forged address makes the server
// send no more than that toward the address it names.
constexpr std::int32_t kFirstBurstChunks = 2;
// An answer none of whose first chunks is acknowledged within this time is cut short:
// its receiver does not put chunks together (a plain caller), or is not the one who asked.
constexpr std::uint32_t kFirstAcknowledgementMs = 500;
// A receiver that acknowledged before and then stays silent this long while the window
// is full has lost acknowledgements on the way (they carry no chunk index to tell which):
// the answer goes on with half a window taken as acknowledged.
constexpr std::uint32_t kAcknowledgementStallMs = 1000;

}  // namespace

// The flow control of one chunked answer.
struct talvex::ReturnAcknowledgements {
    ChunkedAnswers::Answer* answer = nullptr;
    void* waker = nullptr;
    bool flowing = true;   // false: nothing can wait for acknowledgements (a test seam); a plain burst
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

bool CRP_CallerEx::WaitForRoom(talvex::ReturnAcknowledgements& flow) {
    if (!flow.flowing) return true;
    talvex::ChunkedAnswers& answers = *m_pChunkedAnswers;
    const auto hasRoom = [](const talvex::ChunkedAnswers::Receiver& receiver) {
        if (receiver.ownAcknowledged == 0) return receiver.ownSent < kFirstBurstChunks;
        return receiver.unacknowledged < kUnacknowledgedChunks;
    };
    if (hasRoom(answers.ReceiverOfAnswer(flow.answer, false))) return true;
    // The sending thread reads the socket itself while it waits: the acknowledgements
    // come there, and nobody else may be reading it (a hook sends from the dispatch thread).
    talvex::ReadingTurn turn(*m_pWaiterReads);
    for (;;) {
        talvex::ResetEvent(flow.waker);   // before the look: an acknowledgement after it sets it again
        const talvex::ChunkedAnswers::Receiver receiver = answers.ReceiverOfAnswer(flow.answer, true);
        if (hasRoom(receiver)) break;
        const std::uint32_t now = talvex::GetTickCount();
        if (receiver.ownAcknowledged == 0) {
            const std::uint32_t waited = now - receiver.ownStart;
            if (waited >= kFirstAcknowledgementMs) {
                answers.ReceiverOfAnswer(flow.answer, false);
                return false;
            }
            WaitForReturns(flow.waker, kFirstAcknowledgementMs - waited, turn, false);
            continue;
        }
        const std::uint32_t waited = now - receiver.progressAt;
        if (waited >= kAcknowledgementStallMs) {
            answers.Forgive(flow.answer, receiver.unacknowledged - kUnacknowledgedChunks / 2);
            m_pCounters->Add(talvex::Counter::kAcknowledgementStalls);
            break;
        }
        WaitForReturns(flow.waker, kAcknowledgementStallMs - waited, turn, false);
    }
    answers.ReceiverOfAnswer(flow.answer, false);
    return true;
}

void CRP_CallerEx::ReportAnswerCutShort(const CSockAddr& destination, std::int32_t reference, std::int32_t chunks) {
    m_pCounters->Add(talvex::Counter::kAnswersCutShort);
    char address[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &destination.sin_addr, address, sizeof address);
    const std::string line = "Answer " + std::to_string(reference) + " to " + address + ":" +
                             std::to_string(destination.Port()) + ": none of its first chunks acknowledged within " +
                             std::to_string(kFirstAcknowledgementMs) + " ms; the other " + std::to_string(chunks) +
                             " chunks are not sent";
    talvex::EmitDiagnostic(line.c_str());
}

bool CRP_CallerEx::SendReturnChunks(const CUdpDataBlockEx& block, const CSockAddr& destination,
                                    std::int32_t chunkCount) {
    const talvex::WakerLease waker(*m_pCalls, m_callLock);
    talvex::ReturnAcknowledgements flow;
    flow.waker = waker.Get();
    // Without a waker, or when a test seam takes the datagrams, nothing can wait for acknowledgements.
    flow.flowing = flow.waker != nullptr && !SendsToSeam();
    flow.answer = m_pChunkedAnswers->Begin(destination, block.m_nReferenceNumber, block.m_nProcedure, flow.waker);
    const std::int32_t transferReference = TakeReferenceNumber();
    // Built here, not in a member: answers sent from several threads never share a block.
    CUdpDataBlockEx chunk;
    unsigned char staging[talvex::kChunkBytes];
    std::int32_t record[kRecordWords];
    bool whole = true;
    try {
        for (std::int32_t index = 0; index < chunkCount && whole; ++index) {
            whole = WaitForRoom(flow);
            if (!whole) {
                ReportAnswerCutShort(destination, block.m_nReferenceNumber, chunkCount - index);
                break;
            }
            BuildChunk(block, RP_MULTI_RETURN, transferReference, chunkCount, index, staging, chunk);
            chunk.GetPacketAt(0, record, true);
            m_pChunkedAnswers->ChunkSent(flow.answer);
            SendPacket(record + 1, record[0], destination, kChunkSendTimeoutSeconds);
            m_pCounters->Add(talvex::Counter::kChunksSent);
        }
    } catch (...) {
        m_pChunkedAnswers->Finish(flow.answer);
        throw;
    }
    m_pChunkedAnswers->Finish(flow.answer);
    return whole;
}

void CRP_CallerEx::SendChunkedReturn(CUdpDataBlockEx* block) {
    m_pCounters->Add(talvex::Counter::kReturnsSent);
    CSockAddr destination;
    {
        std::scoped_lock lock(m_callLock);
        destination = ReplyDestination();   // every packet of one answer goes to the same peer
    }
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    // An answer whose words do not all lie in its buffer, or that the caller could
    // never put together, sends no chunks: the final empty return alone ends the
    // caller's wait with an empty answer, as a lost chunk would.
    if (block->m_nLength <= block->m_nCapacity && chunkCount <= talvex::kChunkSlots &&
        !SendReturnChunks(*block, destination, static_cast<std::int32_t>(chunkCount))) {
        return;   // cut short: no final return either, so the receiver's call ends false
    }
    std::int32_t record[kRecordWords];
    {
        std::scoped_lock lock(m_callLock);
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
    }
    SendPacket(record + 1, record[0], destination);
    std::scoped_lock lock(m_callLock);
    m_bBroadcastCall = false;
}
