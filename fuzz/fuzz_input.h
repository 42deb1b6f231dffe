#pragma once
// What every fuzz target needs: a failed check that stops the run, and a reader of
// the input that hands out bytes and little-endian numbers front to back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace fuzzinput {

inline void Check(bool condition) {
    if (!condition) std::abort();
}

// Reads the fuzz input front to back; runs dry as zeros.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_pos >= m_size; }
    std::size_t Remaining() const { return m_size - std::min(m_pos, m_size); }
    std::uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }
    std::uint16_t UInt16() { return static_cast<std::uint16_t>(Little(2)); }
    std::int16_t Int16() { return static_cast<std::int16_t>(Little(2)); }
    std::uint32_t UInt32() { return Little(4); }
    std::int32_t Int32() { return static_cast<std::int32_t>(Little(4)); }
    // Copies up to `count` bytes into `out`; returns how many were available.
    std::size_t Bytes(void* out, std::size_t count) {
        const std::size_t taken = std::min(count, Remaining());
        if (taken > 0) std::memcpy(out, m_data + m_pos, taken);
        m_pos += taken;
        return taken;
    }

private:
    // The next `count` bytes as a little-endian number.
    std::uint32_t Little(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) value |= std::uint32_t{Byte()} << (8 * i);
        return value;
    }

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

}  // namespace fuzzinput
