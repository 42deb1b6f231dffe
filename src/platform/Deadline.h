#pragma once
// Deadline: the end of a wait given in milliseconds (kInfinite = none), and the
// time left as a poll() time-out, recomputed after every wake-up or EINTR.
#include "talvex05u/platform/Event.h"

#include <chrono>
#include <climits>
#include <cstdint>

namespace talvex::detail {

class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(std::uint32_t milliseconds)
        : m_infinite(milliseconds == kInfinite), m_end(Clock::now() + std::chrono::milliseconds(milliseconds)) {}

    bool Infinite() const { return m_infinite; }
    bool Expired() const { return !m_infinite && Clock::now() >= m_end; }
    Clock::time_point End() const { return m_end; }

    // Milliseconds left, rounded up so that a wait never ends early and spins;
    // -1 for an infinite wait (poll's "no limit").
    int PollTimeout() const {
        if (m_infinite) return -1;
        const auto left = m_end - Clock::now();
        if (left <= Clock::duration::zero()) return 0;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
    }

private:
    bool m_infinite;
    Clock::time_point m_end;
};

}  // namespace talvex::detail
