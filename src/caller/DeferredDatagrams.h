#pragma once
// Datagrams the dispatch thread read from the unicast socket while a hook ran (a chunked
// return waiting for its acknowledgements), kept in arrival order until the hook is
// done and the dispatcher handles them. Dispatch thread only; the slots are allocated on
// first use, once.
#include "talvex05u/socket/SockAddr.h"

#include <array>
#include <cstdint>
#include <memory>

namespace talvex {

class DeferredDatagrams {
public:
    static constexpr int kDatagramBytes = 2048;
    static constexpr std::size_t kSlots = 64;

    bool Empty() const { return m_count == 0; }
    bool Full() const { return m_count == kSlots; }
    // Keeps a copy of the datagram; false when full.
    bool Keep(const std::int32_t* words, int size, const CSockAddr& sender);
    // Takes the oldest into `words` (kDatagramBytes); its size, 0 when none.
    int TakeOldest(std::int32_t* words, CSockAddr& sender);

private:
    struct Slot {
        int size = 0;
        CSockAddr sender;
        std::int32_t words[kDatagramBytes / 4];
    };
    std::unique_ptr<std::array<Slot, kSlots>> m_slots;
    std::size_t m_head = 0;
    std::size_t m_count = 0;
};

}  // namespace talvex
