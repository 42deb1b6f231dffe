#include "caller/AnswerSender.h"

#include "caller/CounterCells.h"
#include "caller/WaiterReads.h"
#include "datablock/BlockMove.h"
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <string>
#include <cstring>
#include <utility>

namespace talvex {

namespace {
constexpr int kChunkSendTimeoutSeconds = 1000;
constexpr int kRecordWords = 512;
}  // namespace

AnswerSender::AnswerSender(CRP_CallerEx& caller) : m_caller(caller), m_waker(CreateEvent(true, false)) {}

AnswerSender::~AnswerSender() {
    Stop();
    CloseEvent(m_waker);
}

bool AnswerSender::Queue(CUdpDataBlockEx& answer, bool takeWords, const CSockAddr& destination,
                         std::int32_t chunkCount) {
    auto pending = std::make_unique<Pending>();
    if (takeWords) {
        MoveBlockInto(answer, pending->answer);   // no copy: a working block of the library's own
    } else {
        // The answer's words only, not its spare capacity (a block may have grown large).
        if (!pending->answer.CheckBufferSize(answer.m_nLength)) return false;
        std::memcpy(pending->answer.m_pData, answer.m_pData,
                    static_cast<std::size_t>(answer.m_nLength) * sizeof(std::int32_t));
        pending->answer.m_nLength = answer.m_nLength;
        pending->answer.m_nType = answer.m_nType;
        pending->answer.m_nProcedure = answer.m_nProcedure;
        pending->answer.m_nReferenceNumber = answer.m_nReferenceNumber;
    }
    pending->destination = destination;
    pending->chunkCount = chunkCount;
    pending->transferReference = CRP_Caller::TakeReferenceNumber();
    {
        std::scoped_lock lock(m_lock);
        if (m_stopping || m_waker == nullptr || m_pending >= kMostPending) return false;
        if (m_thread == nullptr) {
            m_thread = BeginThread(&AnswerSender::ThreadProc, this, kPriorityNormal);
            if (m_thread == nullptr) return false;
        }
        ++m_pending;
        // Registered at once, so acknowledgements that overtake the sender thread count.
        pending->flow = m_caller.m_pChunkedAnswers->Begin(destination, pending->answer.m_nReferenceNumber,
                                                          pending->answer.m_nProcedure, m_waker);
        m_queued.push_back(std::move(pending));
    }
    SetEvent(m_waker);
    return true;
}

void AnswerSender::Stop() {
    CWinThread* thread = nullptr;
    {
        std::scoped_lock lock(m_lock);
        m_stopping = true;
        thread = std::exchange(m_thread, nullptr);
    }
    if (m_waker != nullptr) SetEvent(m_waker);
    delete thread;   // joins
    std::scoped_lock lock(m_lock);
    for (const auto& pending : m_queued) m_caller.m_pChunkedAnswers->Finish(pending->flow);
    m_queued.clear();
    m_pending = 0;
    m_stopping = false;
}

std::uint32_t AnswerSender::ThreadProc(void* self) {
    static_cast<AnswerSender*>(self)->Run();
    return 0;
}

bool AnswerSender::TakeQueued(std::vector<std::unique_ptr<Pending>>& active) {
    std::scoped_lock lock(m_lock);
    if (m_stopping) {
        for (const auto& pending : active) m_caller.m_pChunkedAnswers->Finish(pending->flow);
        active.clear();
        return false;
    }
    while (!m_queued.empty()) {
        active.push_back(std::move(m_queued.front()));
        m_queued.pop_front();
    }
    return true;
}

void AnswerSender::Run() {
    std::vector<std::unique_ptr<Pending>> active;
    std::unique_ptr<ReadingTurn> turn;   // while answers are pending, this thread reads the socket
    for (;;) {
        ResetEvent(m_waker);   // before the look: a queue or an acknowledgement after it sets it again
        if (!TakeQueued(active)) return;
        std::uint32_t wait = kInfinite;
        for (auto it = active.begin(); it != active.end();) {
            if (!Advance(**it, wait)) {
                ++it;
                continue;
            }
            m_caller.m_pChunkedAnswers->Finish((*it)->flow);
            it = active.erase(it);
            std::scoped_lock lock(m_lock);
            --m_pending;
        }
        if (active.empty()) {
            turn.reset();
            WaitForEvent(m_waker, kInfinite);
            continue;
        }
        if (!turn) turn = std::make_unique<ReadingTurn>(*m_caller.m_pWaiterReads);
        m_caller.WaitForReturns(m_waker, wait, *turn, false);
    }
}

bool AnswerSender::Advance(Pending& pending, std::uint32_t& wait) {
    ChunkedAnswers& answers = *m_caller.m_pChunkedAnswers;
    for (;;) {
        if (pending.next == pending.chunkCount) {
            SendFinal(pending);
            return true;
        }
        // Ask to be woken by the next acknowledgement before looking, so none is missed.
        const ChunkedAnswers::Receiver receiver = answers.ReceiverOfAnswer(pending.flow, true);
        const bool heardOwn = receiver.ownAcknowledged > 0;
        // Each acknowledgement earns two more chunks (the window opens as fast as the
        // receiver proves it receives, doubling each round trip), up to the window shared
        // by the answers to that receiver: a forged acknowledgement buys two chunks, not a window.
        const std::int64_t earned = kFirstBurstChunks + 2 * (receiver.ownAcknowledged + receiver.ownForgiven);
        const std::int64_t room = std::min(earned - receiver.ownSent,
                                           heardOwn ? kUnacknowledgedChunks - receiver.unacknowledged : earned);
        if (room > 0) {
            // As many chunks as there is room for, counted as sent before they go, so an
            // acknowledgement that overtakes the count is never refused.
            const std::int32_t batch = static_cast<std::int32_t>(std::min<std::int64_t>(room, pending.chunkCount - pending.next));
            answers.ChunksSent(pending.flow, batch);
            for (std::int32_t i = 0; i < batch; ++i) SendChunk(pending);
            continue;
        }
        const std::uint32_t now = GetTickCount();
        if (!heardOwn) {
            const std::uint32_t waited = now - receiver.ownStart;
            if (waited >= kFirstAcknowledgementMs) {
                m_caller.ReportAnswerCutShort(pending.destination, pending.answer.m_nReferenceNumber,
                                              pending.chunkCount - pending.next,
                                              "none of its first chunks acknowledged within " +
                                                  std::to_string(kFirstAcknowledgementMs) + " ms");
                return true;   // no final return either: the receiver's call ends false
            }
            wait = std::min(wait, kFirstAcknowledgementMs - waited);
            return false;
        }
        const std::uint32_t silent = now - receiver.progressAt;
        if (silent >= kAcknowledgementStallMs) {
            // Half of what it has outstanding is taken as lost on the way, but never more
            // than it really acknowledged; a receiver that has nothing left to forgive has gone.
            const std::int64_t outstanding = receiver.ownSent - receiver.ownAcknowledged - receiver.ownForgiven;
            if (answers.Forgive(pending.flow, (outstanding + 1) / 2) == 0) {
                m_caller.ReportAnswerCutShort(pending.destination, pending.answer.m_nReferenceNumber,
                                              pending.chunkCount - pending.next,
                                              "its receiver stopped acknowledging");
                return true;
            }
            m_caller.m_pCounters->Add(Counter::kAcknowledgementStalls);
            continue;
        }
        wait = std::min(wait, kAcknowledgementStallMs - silent);
        return false;
    }
}

void AnswerSender::SendChunk(Pending& pending) {
    std::int32_t record[kRecordWords];
    CRP_CallerEx::BuildChunk(pending.answer, RP_MULTI_RETURN, pending.transferReference, pending.chunkCount,
                             pending.next, m_staging, m_chunk);
    m_chunk.GetPacketAt(0, record, true);
    ++pending.next;
    try {
        m_caller.SendPacket(record + 1, record[0], pending.destination, kChunkSendTimeoutSeconds);
        m_caller.m_pCounters->Add(Counter::kChunksSent);
    } catch (CBlockingSocketException* failure) {
        LogBlockingSocketException("CRP_CallerEx:", failure);   // a chunk that could not go
        failure->Delete();
    }
}

void AnswerSender::SendFinal(const Pending& pending) {
    std::int32_t record[4] = {RP_RETURN, pending.answer.m_nProcedure, pending.answer.m_nReferenceNumber, 0};
    try {
        m_caller.SendPacket(record, sizeof record, pending.destination);
    } catch (CBlockingSocketException* failure) {
        LogBlockingSocketException("CRP_CallerEx:", failure);
        failure->Delete();
    }
}

}  // namespace talvex
