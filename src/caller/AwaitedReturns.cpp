#include "caller/AwaitedReturns.h"

#include "talvex05u/platform/Event.h"

#include <netinet/in.h>

namespace talvex {

bool AnswersCallTo(const CSockAddr& peer, const CSockAddr& sender) {
    if (peer.sin_port == 0) return true;
    if (sender.sin_port != peer.sin_port) return false;
    return peer.sin_addr.s_addr == INADDR_ANY || sender.sin_addr.s_addr == peer.sin_addr.s_addr;
}

AwaitedReturnTable::~AwaitedReturnTable() {
    for (void* waker : m_allWakers) CloseEvent(waker);
}

void* AwaitedReturnTable::TakeWaker() {
    if (m_freeWakers.empty()) {
        void* waker = CreateEvent(true, false);
        if (waker == nullptr) return nullptr;
        m_allWakers.push_back(waker);
        m_freeWakers.reserve(m_allWakers.size());
        return waker;
    }
    void* waker = m_freeWakers.back();
    m_freeWakers.pop_back();
    ResetEvent(waker);
    return waker;
}

void AwaitedReturnTable::ReleaseWaker(void* waker) {
    if (waker != nullptr) m_freeWakers.push_back(waker);   // capacity reserved when it was made
}

AwaitedReturn* AwaitedReturnTable::Open(std::int32_t reference, const CSockAddr& peer, void* waker) {
    AwaitedReturn* entry = nullptr;
    for (const auto& candidate : m_entries) {
        if (candidate->reference == 0) {
            entry = candidate.get();
            break;
        }
    }
    if (entry == nullptr) entry = m_entries.emplace_back(std::make_unique<AwaitedReturn>()).get();
    entry->reference = reference;
    entry->peer = peer;
    entry->block.Clear();
    entry->block.m_nReferenceNumber = reference;
    entry->complete = false;
    entry->wake = waker;
    entry->listener = nullptr;
    return entry;
}

AwaitedReturn* AwaitedReturnTable::Find(std::int32_t reference, const CSockAddr& sender) {
    if (reference == 0) return nullptr;
    for (const auto& entry : m_entries) {
        if (entry->reference == reference && !entry->complete && AnswersCallTo(entry->peer, sender)) {
            return entry.get();
        }
    }
    return nullptr;
}

void AwaitedReturnTable::Close(AwaitedReturn* entry) {
    if (entry == nullptr) return;
    entry->reference = 0;
    entry->complete = false;
    entry->wake = nullptr;
    entry->listener = nullptr;
}

void AwaitedReturnTable::WakeAll() {
    for (const auto& entry : m_entries) {
        if (entry->reference != 0 && entry->wake != nullptr) SetEvent(entry->wake);
    }
}

}  // namespace talvex
