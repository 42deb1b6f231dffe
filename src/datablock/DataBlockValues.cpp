// CUdpDataBlockEx: appending typed values at the end of the data and reading
// them back at the read cursor. Every get stays within the data words that lie
// in the buffer; what it would take from behind them reads as zero.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

// Doubles and 64-bit values are stored as their in-memory words, low word first,
// which peers read as little-endian.
static_assert(std::endian::native == std::endian::little, "block values need little-endian words");

namespace {

constexpr std::int32_t kEndOfDataLong = -1;
constexpr std::uint64_t kEndOfDataUInt64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::int64_t kBytesPerWord = 4;

// Words that a string or byte array of `bytes` bytes takes, less one: the
// integer division of the rule "bytes / 4 + 1 words".
constexpr std::int64_t ExtraWordsFor(std::int64_t bytes)
{
    return bytes / kBytesPerWord;
}

}  // namespace

// ---- reading helpers -------------------------------------------------------

std::int32_t CUdpDataBlockEx::ReadableEnd() const
{
    return std::clamp(m_nLength, std::int32_t{0}, std::max(m_nCapacity, std::int32_t{0}));
}

bool CUdpDataBlockEx::HasWordToRead() const
{
    return m_pData != nullptr && m_nReadPos >= 0 && m_nReadPos < ReadableEnd();
}

std::int32_t CUdpDataBlockEx::WordOrZero(std::int64_t index) const
{
    if (m_pData == nullptr || index < 0 || index >= ReadableEnd())
        return 0;
    return m_pData[index];
}

std::uint64_t CUdpDataBlockEx::TakeTwoWords() const
{
    const auto low = static_cast<std::uint32_t>(WordOrZero(m_nReadPos));
    const auto high = static_cast<std::uint32_t>(WordOrZero(std::int64_t{m_nReadPos} + 1));
    m_nReadPos += 2;
    return (std::uint64_t{high} << 32) | low;
}

// ---- appends ----------------------------------------------------------------

bool CUdpDataBlockEx::AppendLongData(std::int32_t value)
{
    if (!MakeRoom(1, 1))
        return false;
    m_pData[m_nLength++] = value;
    return true;
}

bool CUdpDataBlockEx::AppendFloatData(float value)
{
    return AppendLongData(std::bit_cast<std::int32_t>(value));
}

bool CUdpDataBlockEx::AppendUInt64Data(std::uint64_t value)
{
    if (!MakeRoom(2, 2))
        return false;
    m_pData[m_nLength] = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
    m_pData[m_nLength + 1] = static_cast<std::int32_t>(static_cast<std::uint32_t>(value >> 32));
    m_nLength += 2;
    return true;
}

bool CUdpDataBlockEx::AppendInt64Data(std::int64_t value)
{
    return AppendUInt64Data(static_cast<std::uint64_t>(value));
}

bool CUdpDataBlockEx::AppendDoubleData(double value)
{
    return AppendUInt64Data(std::bit_cast<std::uint64_t>(value));
}

bool CUdpDataBlockEx::AppendStringData(const char* text)
{
    if (text == nullptr)
        return false;
    const std::int64_t length = static_cast<std::int64_t>(std::strlen(text));
    const std::int64_t extra = ExtraWordsFor(length);
    // The new length is a 16-bit quantity for strings: refuse what it cannot hold.
    if (m_nLength < 0 || m_nLength + extra + 1 > talvex::kMaxFramedWords)
        return false;
    if (!MakeRoom(extra, extra + 1))
        return false;
    std::memcpy(m_pData + m_nLength, text, static_cast<std::size_t>(length) + 1);
    m_nLength = static_cast<std::int16_t>(m_nLength + extra + 1);
    return true;
}

bool CUdpDataBlockEx::AppendArray(const void* bytes, std::int32_t count)
{
    if (count < 0 || (bytes == nullptr && count > 0))
        return false;
    const std::int64_t extra = ExtraWordsFor(count);
    if (!MakeRoom(extra, extra + 1))
        return false;
    if (count > 0)
        std::memcpy(m_pData + m_nLength, bytes, static_cast<std::size_t>(count));
    m_nLength += static_cast<std::int32_t>(extra + 1);
    return true;
}

bool CUdpDataBlockEx::AppendBinBlockData(const std::int32_t* block)
{
    if (block == nullptr)
        return false;
    const std::int32_t count = block[0];
    const std::int64_t copied = std::max(count, std::int32_t{0});
    if (!MakeRoom(std::int64_t{count} + 1, copied + 1))
        return false;
    m_pData[m_nLength] = count;
    if (copied > 0)
        std::memcpy(m_pData + m_nLength + 1, block + 1, static_cast<std::size_t>(copied) * sizeof(std::int32_t));
    m_nLength += static_cast<std::int32_t>(copied + 1);
    return true;
}

// ---- gets -------------------------------------------------------------------

std::int32_t CUdpDataBlockEx::GetLongData() const
{
    if (!HasWordToRead())
        return kEndOfDataLong;
    return m_pData[m_nReadPos++];
}

float CUdpDataBlockEx::GetFloatData() const
{
    if (!HasWordToRead())
        return 0.0f;
    return std::bit_cast<float>(m_pData[m_nReadPos++]);
}

double CUdpDataBlockEx::GetDoubleData() const
{
    if (!HasWordToRead())
        return 0.0;
    return std::bit_cast<double>(TakeTwoWords());
}

std::int64_t CUdpDataBlockEx::GetInt64Data() const
{
    if (!HasWordToRead())
        return 0;
    return static_cast<std::int64_t>(TakeTwoWords());
}

std::uint64_t CUdpDataBlockEx::GetUInt64Data() const
{
    if (!HasWordToRead())
        return kEndOfDataUInt64;
    return TakeTwoWords();
}

bool CUdpDataBlockEx::GetStringData(char* destination, int size) const
{
    if (destination == nullptr)
        return false;
    destination[0] = '\0';
    if (!HasWordToRead())
        return false;
    // The terminating zero must lie within the data words.
    const auto* start = reinterpret_cast<const char*>(m_pData + m_nReadPos);
    const std::size_t available = static_cast<std::size_t>(ReadableEnd() - m_nReadPos) * kBytesPerWord;
    const void* zero = std::memchr(start, '\0', available);
    if (zero == nullptr)
        return false;
    const std::int64_t length = static_cast<const char*>(zero) - start;
    if (length >= size)
        return false;
    // The read cursor is a 16-bit quantity for strings: refuse what it cannot hold.
    const std::int64_t next = m_nReadPos + ExtraWordsFor(length) + 1;
    if (next > talvex::kMaxFramedWords)
        return false;
    std::memcpy(destination, start, static_cast<std::size_t>(length) + 1);
    m_nReadPos = static_cast<std::int16_t>(next);
    return true;
}

bool CUdpDataBlockEx::GetArray(void* destination, std::int32_t count) const
{
    if (destination == nullptr)
        return false;
    auto* bytes = static_cast<unsigned char*>(destination);
    const std::int64_t extra = ExtraWordsFor(count);
    // The last, partly filled word may lie just behind the data; its bytes read as 0.
    if (count < 0 || !HasWordToRead() || m_nReadPos + extra > m_nLength) {
        bytes[0] = 0;   // a failure leaves an empty string; a success of 0 bytes writes nothing
        return false;
    }
    const std::int64_t available = std::int64_t{ReadableEnd() - m_nReadPos} * kBytesPerWord;
    const std::int64_t copied = std::min<std::int64_t>(count, available);
    std::memcpy(bytes, m_pData + m_nReadPos, static_cast<std::size_t>(copied));
    std::memset(bytes + copied, 0, static_cast<std::size_t>(count - copied));
    m_nReadPos += static_cast<std::int32_t>(extra + 1);
    return true;
}

bool CUdpDataBlockEx::GetBinBlockData(std::int32_t* destination) const
{
    if (destination == nullptr)
        return false;
    if (!HasWordToRead()) {
        destination[0] = 0;
        return false;
    }
    const std::int32_t count = m_pData[m_nReadPos++];
    // A count that the block cannot hold, or that runs past its data, is refused
    // with a zero count; the count word stays consumed.
    const bool plausible = count >= 0 && count < m_nLength;
    if (!plausible || count > ReadableEnd() - m_nReadPos) {
        destination[0] = 0;
        return false;
    }
    destination[0] = count;
    if (count > 0)
        std::memcpy(destination + 1, m_pData + m_nReadPos, static_cast<std::size_t>(count) * sizeof(std::int32_t));
    m_nReadPos += count;
    return true;
}
