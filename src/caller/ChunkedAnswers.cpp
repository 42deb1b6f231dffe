#include "caller/ChunkedAnswers.h"

#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

namespace talvex {

namespace {
constexpr int kAcknowledgementBytes = 16;

bool Expired(const ChunkedAnswers::Answer& answer, std::uint32_t now) {
    return !answer.sending && now - answer.finishedAt >= ChunkedAnswers::kRememberedMs;
}
}  // namespace

ChunkedAnswers::Answer* ChunkedAnswers::Begin(const CSockAddr& receiver, std::int32_t reference,
                                              std::int32_t procedure, void* waker) {
    std::scoped_lock lock(m_lock);
    const std::uint32_t now = GetTickCount();
    Answer* free = nullptr;
    for (const auto& answer : m_answers) {
        if (answer->inUse && Expired(*answer, now)) {
            answer->inUse = false;
            m_inUse.fetch_sub(1);
        }
        if (!answer->inUse && free == nullptr) free = answer.get();
    }
    if (free == nullptr) free = m_answers.emplace_back(std::make_unique<Answer>()).get();
    *free = Answer{ReceiverOf(receiver), reference, procedure, 0, 0, waker, true, false, true, 0};
    m_inUse.fetch_add(1);
    return free;
}

void ChunkedAnswers::Finish(Answer* answer) {
    std::scoped_lock lock(m_lock);
    answer->sending = false;
    answer->senderWaits = false;
    answer->waker = nullptr;
    answer->finishedAt = GetTickCount();
}

void ChunkedAnswers::ChunkSent(Answer* answer) {
    std::scoped_lock lock(m_lock);
    ++answer->sent;
}

std::int64_t ChunkedAnswers::Acknowledged(Answer* answer, bool wait) {
    std::scoped_lock lock(m_lock);
    answer->senderWaits = wait;
    return answer->acknowledged;
}

bool ChunkedAnswers::TakeAcknowledgement(const std::int32_t* words, int size, const CSockAddr& sender) {
    // An acknowledgement is an empty return: 16 bytes, end position and total 0.
    if (m_inUse.load() == 0 || size != kAcknowledgementBytes || words[0] != RP_RETURN || words[3] != 0) return false;
    const std::uint64_t receiver = ReceiverOf(sender);
    void* wake = nullptr;
    {
        std::scoped_lock lock(m_lock);
        const std::uint32_t now = GetTickCount();
        Answer* match = nullptr;
        for (const auto& answer : m_answers) {
            if (!answer->inUse || answer->receiver != receiver || answer->reference != words[2]) continue;
            // An empty return beyond the chunks sent, or of another procedure, is no
            // acknowledgement: the peer's own answer to a call with the same number.
            if (answer->procedure != words[1] || answer->acknowledged >= answer->sent) continue;
            if (Expired(*answer, now)) continue;
            match = answer.get();
            break;
        }
        if (match == nullptr) return false;
        ++match->acknowledged;
        if (match->senderWaits) {
            match->senderWaits = false;
            wake = match->waker;
        }
    }
    if (wake != nullptr) SetEvent(wake);
    return true;
}

}  // namespace talvex
