#include "caller/PendingCalls.h"

#include "talvex05u/platform/Event.h"
#include "talvex05u/socket/BlockingSocketException.h"

namespace talvex {

bool AnswersCallTo(const CSockAddr& peer, const CSockAddr& sender) {
    return peer.sin_port == 0 || sender.sin_port == peer.sin_port;
}

PendingCalls::~PendingCalls() {
    for (void* waker : m_allWakers) CloseEvent(waker);
}

void* PendingCalls::TakeWaker() {
    if (!m_freeWakers.empty()) {
        void* waker = m_freeWakers.back();
        m_freeWakers.pop_back();
        ResetEvent(waker);
        return waker;
    }
    void* waker = CreateEvent(true, false);
    if (waker == nullptr) return nullptr;
    m_allWakers.push_back(waker);
    m_freeWakers.reserve(m_allWakers.size());   // ReleaseWaker never allocates
    return waker;
}

void PendingCalls::ReleaseWaker(void* waker) {
    if (waker != nullptr) m_freeWakers.push_back(waker);
}

PendingCall* PendingCalls::Open(std::int32_t reference, const CSockAddr& peer, void* waker) {
    PendingCall* call = nullptr;
    for (const auto& candidate : m_calls) {
        if (candidate->reference == 0) {
            call = candidate.get();
            break;
        }
    }
    if (call == nullptr) call = m_calls.emplace_back(std::make_unique<PendingCall>()).get();
    call->reference = reference;
    call->peer = peer;
    call->returnBlock.Clear();
    call->returnBlock.m_nReferenceNumber = reference;
    call->chunkedReturn.Clear();
    call->returnChunksAnnounced = 0;
    call->returnChunksArrived = 0;
    call->returnChunksInHand = 0;
    call->complete = false;
    call->released = m_stopped;
    call->waker = waker;
    call->window = nullptr;
    call->sendFailure = nullptr;
    if (m_stopped && waker != nullptr) SetEvent(waker);
    return call;
}

PendingCall* PendingCalls::Find(std::int32_t reference, const CSockAddr& sender, bool incompleteOnly) {
    if (reference == 0) return nullptr;
    for (const auto& call : m_calls) {
        if (call->reference == reference && !(incompleteOnly && call->complete) && AnswersCallTo(call->peer, sender)) {
            return call.get();
        }
    }
    return nullptr;
}

void PendingCalls::Close(PendingCall* call) {
    if (call == nullptr) return;
    call->reference = 0;
    call->waker = nullptr;
    call->window = nullptr;
    if (call->sendFailure != nullptr) call->sendFailure->Delete();   // nobody took it
    call->sendFailure = nullptr;
}

void PendingCalls::WakeAll() {
    for (const auto& call : m_calls) {
        if (call->reference != 0 && call->waker != nullptr) SetEvent(call->waker);
    }
}

void PendingCalls::ReleaseAll() {
    m_stopped = true;
    for (const auto& call : m_calls) {
        if (call->reference == 0) continue;
        call->released = true;
        if (call->waker != nullptr) SetEvent(call->waker);
    }
}

}  // namespace talvex
