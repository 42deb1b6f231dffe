#include "caller/ChunkedAnswers.h"

#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/platform/Event.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <array>

namespace talvex {

namespace {
constexpr int kAcknowledgementBytes = 16;
constexpr std::size_t kMaxWakes = 16;

bool Expired(const ChunkedAnswers::Answer& answer, std::uint32_t now) {
    return !answer.sending && now - answer.finishedAt >= ChunkedAnswers::kRememberedMs;
}

// The chunks of `answer` its receiver has yet to acknowledge, as far as they still count.
std::int64_t Outstanding(const ChunkedAnswers::Answer& answer, std::uint32_t now) {
    if (!answer.sending && now - answer.progressAt >= ChunkedAnswers::kSilenceMs) return 0;
    return std::max<std::int64_t>(0, answer.sent - answer.acknowledged - answer.forgiven);
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
    *free = Answer{};
    free->receiver = ReceiverOf(receiver);
    free->reference = reference;
    free->procedure = procedure;
    free->waker = waker;
    free->sending = true;
    free->inUse = true;
    free->progressAt = now;
    free->startedAt = now;
    m_inUse.fetch_add(1);
    return free;
}

void ChunkedAnswers::ChunksSent(Answer* answer, std::int64_t count) {
    std::scoped_lock lock(m_lock);
    answer->sent += count;
}

void ChunkedAnswers::Finish(Answer* answer) {
    std::scoped_lock lock(m_lock);
    answer->sending = false;
    answer->senderWaits = false;
    answer->waker = nullptr;
    answer->finishedAt = GetTickCount();
    ForgetWhenDone(*answer);
}

void ChunkedAnswers::ForgetWhenDone(Answer& answer) {
    // Every chunk acknowledged: no empty return can be one of its acknowledgements any more.
    if (answer.inUse && !answer.sending && answer.acknowledged >= answer.sent) {
        answer.inUse = false;
        m_inUse.fetch_sub(1);
    }
}

ChunkedAnswers::Receiver ChunkedAnswers::ReceiverOfAnswer(Answer* answer, bool wait) {
    std::scoped_lock lock(m_lock);
    answer->senderWaits = wait;
    const std::uint32_t now = GetTickCount();
    Receiver receiver;
    receiver.progressAt = answer->progressAt;
    receiver.ownSent = answer->sent;
    receiver.ownAcknowledged = answer->acknowledged;
    receiver.ownForgiven = answer->forgiven;
    receiver.ownStart = answer->startedAt;
    for (const auto& other : m_answers) {
        if (!other->inUse || other->receiver != answer->receiver || Expired(*other, now)) continue;
        receiver.unacknowledged += Outstanding(*other, now);
        if (other->acknowledged > 0) {
            receiver.heard = true;
            if (now - other->progressAt < now - receiver.progressAt) receiver.progressAt = other->progressAt;
        }
    }
    return receiver;
}

std::int64_t ChunkedAnswers::Forgive(Answer* answer, std::int64_t count) {
    std::scoped_lock lock(m_lock);
    const std::int64_t taken = std::max<std::int64_t>(0, std::min(count, answer->acknowledged - answer->forgiven));
    answer->forgiven += taken;
    answer->progressAt = GetTickCount();
    return taken;
}

bool ChunkedAnswers::TakeAcknowledgement(const std::int32_t* words, int size, const CSockAddr& sender,
                                         void* ownWaker) {
    // An acknowledgement is an empty return: 16 bytes, end position and total 0.
    if (m_inUse.load() == 0 || size != kAcknowledgementBytes || words[0] != RP_RETURN || words[3] != 0) return false;
    const std::uint64_t receiver = ReceiverOf(sender);
    std::array<void*, kMaxWakes> wake{};
    std::size_t wakes = 0;
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
        match->progressAt = now;
        ForgetWhenDone(*match);
        // Room at this receiver is room for every answer that goes there.
        for (const auto& answer : m_answers) {
            if (answer->receiver != receiver || !answer->senderWaits || wakes == kMaxWakes) continue;
            answer->senderWaits = false;
            if (answer->waker != ownWaker) wake[wakes++] = answer->waker;
        }
    }
    for (std::size_t i = 0; i < wakes; ++i) SetEvent(wake[i]);
    return true;
}

}  // namespace talvex
