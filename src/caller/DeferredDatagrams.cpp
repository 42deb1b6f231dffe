#include "caller/DeferredDatagrams.h"

#include <cstring>

namespace talvex {

bool DeferredDatagrams::Keep(const std::int32_t* words, int size, const CSockAddr& sender) {
    if (Full() || size <= 0 || size > kDatagramBytes) return false;
    if (!m_slots) m_slots = std::make_unique<std::array<Slot, kSlots>>();
    Slot& slot = (*m_slots)[(m_head + m_count) % kSlots];
    slot.size = size;
    slot.sender = sender;
    std::memcpy(slot.words, words, static_cast<std::size_t>(size));
    ++m_count;
    return true;
}

int DeferredDatagrams::TakeOldest(std::int32_t* words, CSockAddr& sender) {
    if (Empty()) return 0;
    const Slot& slot = (*m_slots)[m_head];
    std::memcpy(words, slot.words, static_cast<std::size_t>(slot.size));
    sender = slot.sender;
    m_head = (m_head + 1) % kSlots;
    --m_count;
    return slot.size;
}

}  // namespace talvex
