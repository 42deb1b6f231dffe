#include "caller/PulledAnswers.h"

#include "caller/ChunkedAnswers.h"
#include "talvex05u/platform/System.h"

namespace talvex {

void PulledAnswers::Keep(const CSockAddr& receiver, const CUdpDataBlockEx& answer) {
    Kept& kept = m_kept[m_next];
    m_next = (m_next + 1) % kAnswers;
    kept.receiver = ReceiverOf(receiver);
    kept.sentAt = GetTickCount();
    kept.inUse = true;
    kept.answer = answer;
}

CUdpDataBlockEx* PulledAnswers::Find(const CSockAddr& receiver, std::int32_t reference) {
    const std::uint64_t wanted = ReceiverOf(receiver);
    const std::uint32_t now = GetTickCount();
    for (Kept& kept : m_kept) {
        if (!kept.inUse || kept.receiver != wanted || kept.answer.m_nReferenceNumber != reference) continue;
        if (now - kept.sentAt >= kKeptMs) {
            kept.inUse = false;
            return nullptr;
        }
        return &kept.answer;
    }
    return nullptr;
}

}  // namespace talvex
