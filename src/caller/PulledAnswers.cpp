#include "caller/PulledAnswers.h"

#include "caller/ChunkedAnswers.h"
#include "talvex05u/platform/System.h"

#include <algorithm>
#include <cstring>

namespace talvex {

void PulledAnswers::Keep(const CSockAddr& receiver, const CUdpDataBlockEx& answer) {
    // Packet positions are 16-bit: words beyond kMaxPulledWords can never be pulled.
    const std::int32_t words = std::min(std::min(answer.m_nLength, answer.m_nCapacity), kMaxPulledWords);
    Kept& kept = m_kept[m_next];
    m_next = (m_next + 1) % kAnswers;
    kept.inUse = false;
    // Only the answer's words are copied, never its spare capacity.
    kept.answer.Clear();
    if (words < 0 || !kept.answer.CheckBufferSize(words)) return;
    std::memcpy(kept.answer.m_pData, answer.m_pData, static_cast<std::size_t>(words) * sizeof(std::int32_t));
    kept.answer.m_nType = answer.m_nType;
    kept.answer.m_nProcedure = answer.m_nProcedure;
    kept.answer.m_nReferenceNumber = answer.m_nReferenceNumber;
    kept.answer.m_nLength = words;
    kept.answer.m_nPacketPos = answer.m_nPacketPos;   // where the receiver's pull has got to
    kept.receiver = ReceiverOf(receiver);
    kept.sentAt = GetTickCount();
    kept.inUse = true;
}

bool PulledAnswers::StillPulled(const CUdpDataBlockEx& answer) {
    const std::int32_t pullable = std::min(std::min(answer.m_nLength, answer.m_nCapacity), kMaxPulledWords);
    return pullable > talvex::kMaxPacketDataWords && answer.m_nPacketPos < pullable;
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
