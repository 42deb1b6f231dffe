#pragma once
// The recent answers of more than one packet that a caller sent as a plain return and
// whose receivers had not pulled them whole when the next answer took their place in
// m_ReplyBlock, kept for those receivers to pull packet by packet (RP_NEXT_PACKET): each
// by its receiver and reference number, so that several callers can pull their answers
// at once. Bounded: the last kAnswers answers (of at most kMaxPulledWords words, so at
// most 4 MB in all), each for kKeptMs. The caller guards it
// with its m_callLock.
#include "talvex05u/datablock/UdpDataBlockEx.h"
#include "talvex05u/socket/SockAddr.h"

#include <array>
#include <cstdint>

namespace talvex {

class PulledAnswers {
public:
    static constexpr std::size_t kAnswers = 32;
    static constexpr std::uint32_t kKeptMs = 10000;
    // Packet positions are 16 bits wide: no word beyond this can be pulled.
    static constexpr std::int32_t kMaxPulledWords = 32767;

    // Keeps a copy of `answer`, sent to `receiver`, in place of the oldest one kept.
    void Keep(const CSockAddr& receiver, const CUdpDataBlockEx& answer);
    // True when `answer` (just sent, packet cursor behind the last packet pulled) has
    // packets its receiver has not pulled yet.
    static bool StillPulled(const CUdpDataBlockEx& answer);
    // The answer `receiver` pulls under `reference`; nullptr when none is kept.
    CUdpDataBlockEx* Find(const CSockAddr& receiver, std::int32_t reference);

private:
    struct Kept {
        std::uint64_t receiver = 0;
        std::uint32_t sentAt = 0;
        bool inUse = false;
        CUdpDataBlockEx answer;   // its buffer is reused by the answers kept after it
    };
    std::array<Kept, kAnswers> m_kept;
    std::size_t m_next = 0;
};

}  // namespace talvex
