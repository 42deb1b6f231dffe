// Calls, returns and events of the caller. A call is entered in the table of calls in
// flight, sent, waited for on the call's own event (and, while it may, on the caller's
// socket, where the waiting thread takes its return itself), and finished by handing
// its own answer to the application (docs/caller.md). SendReturn answers, SendEvent
// sends one way, BreakActiveCall ends a waiting call.
#include "talvex05u/caller/RP_Caller.h"

#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "caller/PulledAnswers.h"
#include "caller/WaiterReads.h"
#include "datablock/BlockMove.h"
#include "datablock/PacketRecord.h"
#include "platform/EventWait.h"
#include "platform/SpinningPoll.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"
#include "talvex05u/socket/BlockingSocketException.h"

#include <cstring>
#include <string>

namespace {

constexpr int kRecordWords = 512;
// How long a call whose final return overtook some of its return chunks waits for
// them, when lost chunks are to end it with false.
constexpr std::uint32_t kLateReturnChunkGraceMs = 20;

std::uint32_t TimeLimit(std::int32_t timeout) {
    return timeout == 0 ? talvex::kInfinite : static_cast<std::uint32_t>(timeout);
}

// Milliseconds left of `limit` since `start`; 0 when it has passed.
std::uint32_t Remaining(std::uint32_t limit, std::uint32_t start) {
    if (limit == talvex::kInfinite) return limit;
    const std::uint32_t elapsed = talvex::GetTickCount() - start;
    return elapsed >= limit ? 0 : limit - elapsed;
}

}  // namespace

bool CRP_Caller::CallProcedure(CSockAddr* destination, CUdpDataBlockEx* block, std::int32_t timeout) {
    if (destination == nullptr || block == nullptr) return false;
    if (destination->sin_port == 0) return NoPeer(block);
    talvex::PendingCall* call = StartCall(*destination, *block);
    if (call == nullptr) return false;   // the caller is stopped, or the call could not be sent
    return FinishCall(call, AwaitCall(call, timeout), block);
}

bool CRP_Caller::CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    CSockAddr destination;
    {
        std::scoped_lock lock(m_callLock);
        destination = m_addrRemote;
    }
    return CallProcedure(&destination, block, timeout);
}

talvex::PendingCall* CRP_Caller::EnterCall(const CSockAddr& destination, CUdpDataBlockEx& block, void* waker,
                                           std::int32_t* record) {
    const std::int32_t reference = TakeReferenceNumber();
    talvex::PendingCall* call = m_pCalls->Open(reference, destination, waker);
    block.m_nReferenceNumber = reference;
    block.GetPacketAt(0, record, true);
    return call;
}

talvex::PendingCall* CRP_Caller::StartCall(const CSockAddr& destination, const CUdpDataBlockEx& block) {
    std::int32_t record[kRecordWords];
    talvex::PendingCall* call = nullptr;
    {
        std::scoped_lock lock(m_callLock);
        if (m_pCalls->Stopped()) return nullptr;   // a call begun while the caller stops ends at once
        // The calling thread's wake-up event, from the caller's pool, until the call ends.
        void* waker = m_pCalls->TakeWaker();
        if (waker == nullptr) return nullptr;
        m_pCounters->Add(talvex::Counter::kCalls);
        // m_CallBlock shows the last call, and serves the peer's pulls of its packets;
        // m_ReturnBlock no longer awaits the return of a call before.
        m_CallBlock = block;
        call = EnterCall(destination, m_CallBlock, waker, m_PacketRecord);
        talvex::CopyPacketRecord(record, m_PacketRecord);
        m_ReturnBlock.Clear();
        m_addrAwaitedPeer = destination;
        talvex::ResetEvent(m_hReturnEvent);
    }
    bool sent = false;
    try {
        sent = SendPacket(record + 1, record[0], destination);
    } catch (...) {
        std::scoped_lock lock(m_callLock);
        CloseCall(call);
        throw;
    }
    if (!sent) {
        // Nothing went out: no answer can come, so the call ends at once.
        std::scoped_lock lock(m_callLock);
        CloseCall(call);
        m_pCounters->Add(talvex::Counter::kBroken);
        return nullptr;
    }
    return call;
}

CRP_Caller::CallEnd CRP_Caller::AwaitCall(talvex::PendingCall* call, std::int32_t timeout) {
    std::uint32_t limit = TimeLimit(timeout);
    std::uint32_t start = talvex::GetTickCount();
    bool inGrace = false;
    // The waker came clear from the pool before the call was entered: whatever ends the
    // call sets it, so the first wait needs no look before it.
    bool firstWait = true;
    talvex::ReadingTurn turn(*m_pWaiterReads, talvex::ReadingTurn::Leaving::kLazily);
    for (;; firstWait = false) {
        if (!firstWait) {
            talvex::ResetEvent(call->waker);   // before the look: a completion after it sets it again
            std::scoped_lock lock(m_callLock);
            if (call->released) return CallEnd::kReleased;
            // A chunk of its answer that another thread holds is stored first.
            const bool settled = call->complete && call->returnChunksInHand == 0;
            if (settled && (inGrace || !AwaitsLateReturnChunks(*call))) return CallEnd::kAnswered;
            if (settled) {
                // The final return came before some of the chunks: give them a moment.
                inGrace = true;
                limit = kLateReturnChunkGraceMs;
                start = talvex::GetTickCount();
            }
        }
        const std::uint32_t left = firstWait ? limit : Remaining(limit, start);
        if (left == 0) {
            // Out of time with a chunk of the answer still in another thread's hands: the
            // answer is not whole yet, so the call has none.
            std::scoped_lock lock(m_callLock);
            const bool settled = call->complete && call->returnChunksInHand == 0;
            return inGrace || settled ? CallEnd::kAnswered : CallEnd::kTimedOut;
        }
        if (WaitForReturns(call->waker, left, turn) == Woken::kBreak) return CallEnd::kBroken;
    }
}

CRP_Caller::Woken CRP_Caller::WaitForReturns(void* waker, std::uint32_t milliseconds, talvex::ReadingTurn& turn,
                                             bool breakable, void* alsoWakes) {
    // BreakActiveCall sets the break event and wakes every call through its waker.
    const bool broken = breakable && talvex::IsEventSet(m_hBreakEvent) &&
                        talvex::WaitForEvent(m_hBreakEvent, 0) == talvex::kWaitObject0;
    if (broken) return Woken::kBreak;
    const int socket = turn.BeginPoll(waker);
    if (socket >= 0 && alsoWakes == nullptr) {
        HandleTaken(ReadWhileWaiting(waker, milliseconds, turn), waker);
        return Woken::kWaker;
    }
    void* events[2] = {waker, alsoWakes};
    const std::uint32_t count = alsoWakes != nullptr ? 2 : 1;
    const std::uint32_t woken = talvex::WaitForEventsOrReadable(events, count, socket, milliseconds);
    if (socket < 0 || woken != talvex::kWaitObject0 + count) {
        turn.EndPoll();
        return woken == talvex::kWaitTimeout ? Woken::kTimeout : Woken::kWaker;
    }
    HandleTaken(turn.Take(&CRP_Caller::RouteForReader, this), waker);   // ends the poll too
    return Woken::kWaker;
}

talvex::DatagramBatch* CRP_Caller::ReadWhileWaiting(void* waker, std::uint32_t milliseconds,
                                                    talvex::ReadingTurn& turn) {
    // A short spin first where it pays (see SocketSpin), each look a receive that does
    // not wait, then one blocking receive. The waker is looked at by its state word: the
    // receive does not poll it, so setting it costs no system call.
    talvex::SocketSpin spin;
    while (spin.Again()) {
        if (talvex::IsEventSet(waker)) {
            spin.Answered();
            break;
        }
        talvex::DatagramBatch* batch = turn.TakeIfAny(&CRP_Caller::RouteForReader, this);
        if (batch != nullptr) {
            spin.Answered();
            return batch;
        }
    }
    if (talvex::IsEventSet(waker)) {
        turn.EndPoll();
        return nullptr;
    }
    return turn.TakeWaiting(waker, milliseconds, &CRP_Caller::RouteForReader, this);
}

void CRP_Caller::HandleTaken(talvex::DatagramBatch* batch, void* waker) {
    for (int i = 0; batch != nullptr && i < batch->Count(); ++i) {
        talvex::DatagramBatch::Entry& entry = (*batch)[i];
        if (entry.outcome == talvex::PendingDatagram::Outcome::kReceived) {
            entry.outcome = talvex::PendingDatagram::Outcome::kNone;   // handled once, whatever comes later
            HandleReadDatagram(entry.words, entry.size, entry.sender, waker);
        }
    }
}

bool CRP_Caller::FinishCall(talvex::PendingCall* call, CallEnd end, CUdpDataBlockEx* block) {
    std::unique_lock lock(m_callLock);
    bool answered = end == CallEnd::kAnswered || end == CallEnd::kReleased;
    if (answered && end == CallEnd::kAnswered && call->chunkedReturn.m_nLength == 0 &&
        call->returnChunksAnnounced > 0) {
        // The diagnostic sink is told outside the lock: a sink may take its time or call in.
        const std::int32_t reference = call->reference;
        const std::int32_t announced = call->returnChunksAnnounced;
        const std::int32_t arrived = call->returnChunksArrived;
        lock.unlock();
        answered = !ReturnChunksLost(reference, announced, arrived);
        lock.lock();
    } else if (end == CallEnd::kTimedOut && call->returnChunksAnnounced > 0 && m_hMultiDoneEvent == nullptr) {
        // A plain caller answered with chunks: say why no answer came.
        const std::int32_t reference = call->reference;
        const std::int32_t announced = call->returnChunksAnnounced;
        const std::int32_t arrived = call->returnChunksArrived;
        lock.unlock();
        ReturnChunksLost(reference, announced, arrived);
        lock.lock();
    }
    if (answered) {
        m_ReturnBlock = call->returnBlock;
        if (call->chunkedReturn.m_nLength > 0) {
            talvex::MoveBlockInto(call->chunkedReturn, *block);
        } else {
            talvex::MoveBlockInto(call->returnBlock, *block);
        }
    } else {
        // A call that gave up leaves its return to m_ReturnBlock, as a single-call caller
        // does: a late return is still taken there (and sets the return event) until the
        // next call starts. No call takes it.
        m_ReturnBlock = call->returnBlock;
        m_ReturnBlock.m_nReferenceNumber = call->complete ? 0 : call->reference;
        m_addrAwaitedPeer = call->peer;
    }
    CloseCall(call);
    CountCallEnd(end, answered);
    return answered;
}

void CRP_Caller::CloseCall(talvex::PendingCall* call) {
    m_pCalls->ReleaseWaker(call->waker);
    talvex::PendingCalls::Close(call);
}

bool CRP_Caller::NoPeer(const CUdpDataBlockEx* block) {
    m_pCounters->Add(talvex::Counter::kCalls);
    const std::string line = "Call of procedure " + std::to_string(block->m_nProcedure) +
                             ": no peer (port 0): set one with SetRemoteSocket; nothing was sent";
    talvex::EmitDiagnostic(line.c_str());
    return false;
}

void CRP_Caller::CountCallEnd(CallEnd end, bool answered) {
    switch (end) {
    case CallEnd::kAnswered:
        // A call that lost its return chunks and ends false for it counts in neither.
        if (answered) m_pCounters->Add(talvex::Counter::kAnswered);
        break;
    case CallEnd::kTimedOut: m_pCounters->Add(talvex::Counter::kTimedOut); break;
    case CallEnd::kBroken:
    case CallEnd::kReleased: m_pCounters->Add(talvex::Counter::kBroken); break;
    }
}

bool CRP_Caller::AwaitsLateReturnChunks(const talvex::PendingCall& call) const {
    return m_hMultiDoneEvent != nullptr && m_bFailOnLostReturnChunks.load() && call.chunkedReturn.m_nLength == 0 &&
           call.returnChunksAnnounced > call.returnChunksArrived;
}

bool CRP_Caller::ReturnChunksLost(std::int32_t reference, std::int32_t announced, std::int32_t arrived) {
    std::string text = "Call " + std::to_string(reference) + ": ";
    if (m_hMultiDoneEvent == nullptr) {
        text += "the answer came as " + std::to_string(announced) +
                " return chunks, which a plain caller cannot put together; call with an extended caller";
    } else {
        text += "return chunks lost: " + std::to_string(arrived) + " of " + std::to_string(announced) + " received";
    }
    talvex::EmitDiagnostic(text.c_str());
    return m_bFailOnLostReturnChunks.load();
}

std::int32_t CRP_Caller::SendReturn(CUdpDataBlockEx* block) {
    if (block == nullptr) return 0;
    m_pCounters->Add(talvex::Counter::kReturnsSent);
    return SendReturnPacket(block);
}

void CRP_Caller::KeepReplyForPulling() {
    // The answer in m_ReplyBlock is about to be replaced: if its receiver has not pulled
    // all of it yet, a copy stays available to that receiver's requests.
    if (m_addrReplyPeer.sin_port != 0 && m_pPulledAnswers->StillPulled(m_ReplyBlock)) {
        m_pPulledAnswers->Keep(m_addrReplyPeer, m_ReplyBlock);
    }
}

std::int32_t CRP_Caller::SendReturnPacket(CUdpDataBlockEx* block) {
    std::int32_t record[kRecordWords];
    CSockAddr destination;
    bool answersBroadcast = false;
    {
        std::scoped_lock lock(m_callLock);
        answersBroadcast = m_bBroadcastCall;
        block->m_nType = answersBroadcast ? RP_BROADCAST_RETURN : RP_RETURN;
        KeepReplyForPulling();
        m_ReplyBlock = *block;
        m_ReplyBlock.GetPacketAt(0, m_PacketRecord, true);
        talvex::CopyPacketRecord(record, m_PacketRecord);
        destination = ReplyDestination();
        m_addrReplyPeer = destination;
    }
    SendPacket(record + 1, record[0], destination);
    if (answersBroadcast) {
        std::scoped_lock lock(m_callLock);
        m_bBroadcastCall = false;
    }
    return 0;
}

void CRP_Caller::SendAcknowledgement(CUdpDataBlockEx* block) {
    block->ResetForReturn();
    block->m_nType = RP_RETURN;
    std::int32_t record[kRecordWords];
    block->GetPacketAt(0, record, true);
    CSockAddr destination;
    {
        std::scoped_lock lock(m_callLock);
        destination = ReplyDestination();
    }
    SendPacket(record + 1, record[0], destination);
}

void CRP_Caller::SendEvent(CUdpDataBlockEx* block) {
    if (block == nullptr) return;
    std::int32_t record[kRecordWords];
    CSockAddr destination;
    {
        std::scoped_lock lock(m_callLock);
        destination = m_addrRemote;
    }
    if (destination.sin_port == 0) return;
    block->GetPacketAt(0, record, true);
    SendPacket(record + 1, record[0], destination);
    m_pCounters->Add(talvex::Counter::kEventsSent);
}

void CRP_Caller::BreakActiveCall() {
    talvex::SetEvent(m_hBreakEvent);
    // A waiting call sees the break when it is woken; the first to look takes it.
    std::scoped_lock lock(m_callLock);
    m_pCalls->WakeAll();
}
