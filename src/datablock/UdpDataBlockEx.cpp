// CUdpDataBlockEx: construction, assignment, header and cursor resets, and the
// growable word buffer. Typed values live in DataBlockValues.cpp, packet
// framing in PacketFraming.cpp.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr std::int32_t kInitialCapacityWords = 512;
constexpr std::int32_t kGrowStepWords = 4096;
// Largest buffer a block may own: a little below the int32 limit, so that every
// cursor step (at most two words past the data) stays representable.
constexpr std::int64_t kMaxCapacityWords = std::numeric_limits<std::int32_t>::max() - 16;

// Number of words in [0, limit) that also lie in a buffer of `capacity` words.
std::int64_t WordsWithin(std::int64_t limit, std::int64_t capacity)
{
    return std::clamp<std::int64_t>(limit, 0, std::max<std::int64_t>(capacity, 0));
}

}  // namespace

CUdpDataBlockEx::CUdpDataBlockEx()
    : m_pData(nullptr), m_nCapacity(0)
{
    Clear();
    Reallocate(kInitialCapacityWords, 0);
}

CUdpDataBlockEx::CUdpDataBlockEx(std::int32_t procedure)
    : CUdpDataBlockEx()
{
    m_nProcedure = procedure;
    m_nType = 1;
}

CUdpDataBlockEx::CUdpDataBlockEx(const std::int32_t* packet, std::int16_t size)
    : m_pData(nullptr), m_nCapacity(0)
{
    Clear();
    // The packet's byte count serves as the word capacity, at least 512 words.
    Reallocate(std::max<std::int32_t>(kInitialCapacityWords, size), 0);
    AddRawData(packet, size);
}

CUdpDataBlockEx::CUdpDataBlockEx(const CUdpDataBlockEx& other)
    : m_pData(nullptr), m_nCapacity(0)
{
    Clear();
    Reallocate(std::max<std::int32_t>(kInitialCapacityWords, other.m_nCapacity), 0);
    *this = other;
}

CUdpDataBlockEx::~CUdpDataBlockEx()
{
    delete[] m_pData;
}

const CUdpDataBlockEx& CUdpDataBlockEx::operator=(const CUdpDataBlockEx& other)
{
    if (this == &other) {
        m_nReadPos = 0;
        return *this;
    }
    Clear();
    m_nType = other.m_nType;
    m_nProcedure = other.m_nProcedure;
    m_nPacketPos = other.m_nPacketPos;
    m_nLength = other.m_nLength;
    m_nReferenceNumber = other.m_nReferenceNumber;
    // A larger source makes the target take its capacity; the old contents are
    // not kept since they are overwritten right after.
    if (other.m_nCapacity > m_nCapacity)
        Reallocate(other.m_nCapacity, 0);
    // A partly reassembled source may announce more words than its buffer
    // holds: copy only what lies in both buffers.
    const std::int64_t words = WordsWithin(WordsWithin(other.m_nLength, other.m_nCapacity), m_nCapacity);
    if (words > 0)
        std::memcpy(m_pData, other.m_pData, static_cast<std::size_t>(words) * sizeof(std::int32_t));
    return *this;
}

void CUdpDataBlockEx::Clear()
{
    m_nType = -1;
    m_nProcedure = talvex::kNoProcedure;
    m_nReferenceNumber = 0;
    m_nPacketPos = 0;
    m_nLength = 0;
    m_nReadPos = 0;
}

void CUdpDataBlockEx::ResetForReturn()
{
    m_nType = 2;
    m_nReadPos = 0;
    m_nLength = 0;
    m_nPacketPos = 0;
}

void CUdpDataBlockEx::ResetReadPos()
{
    m_nReadPos = 0;
}

bool CUdpDataBlockEx::Reallocate(std::int64_t capacity, std::int64_t keepWords)
{
    if (capacity <= 0 || capacity > kMaxCapacityWords)
        return false;
    auto* buffer = new (std::nothrow) std::int32_t[static_cast<std::size_t>(capacity)];
    if (buffer == nullptr)
        return false;
    const std::int64_t kept = WordsWithin(WordsWithin(keepWords, m_nCapacity), capacity);
    if (kept > 0)
        std::memcpy(buffer, m_pData, static_cast<std::size_t>(kept) * sizeof(std::int32_t));
    // The rest is zero-filled, so that pad bytes and words not yet received
    // read as zeros rather than as indeterminate memory.
    std::memset(buffer + kept, 0, static_cast<std::size_t>(capacity - kept) * sizeof(std::int32_t));
    delete[] m_pData;
    m_pData = buffer;
    m_nCapacity = static_cast<std::int32_t>(capacity);
    return true;
}

bool CUdpDataBlockEx::Grow(std::int32_t words)
{
    const std::int64_t added = std::int64_t{kGrowStepWords} * (words / kGrowStepWords + 1);
    if (added <= 0)
        return false;
    // In a block being reassembled m_nLength is the announced total; only the
    // words that the old buffer really has are carried over.
    return Reallocate(std::int64_t{m_nCapacity} + added, m_nLength);
}

bool CUdpDataBlockEx::CheckBufferSize(std::int32_t words)
{
    if (m_nLength < 0)
        return false;  // no position behind the data lies in the buffer
    const std::int64_t needed = std::int64_t{m_nLength} + words;
    if (needed < m_nCapacity)
        return true;
    // A block whose announced length lies beyond its buffer grows by the
    // deficit as well, so that the room asked for really exists afterwards.
    const std::int64_t deficit = std::max<std::int64_t>(0, std::int64_t{m_nLength} - m_nCapacity);
    const std::int64_t request = std::int64_t{words} + deficit;
    if (request > std::numeric_limits<std::int32_t>::max())
        return false;
    if (!Grow(static_cast<std::int32_t>(request)))
        return false;
    return needed < m_nCapacity;
}

bool CUdpDataBlockEx::MakeRoom(std::int64_t reserve, std::int64_t written)
{
    if (reserve > std::numeric_limits<std::int32_t>::max() || reserve < std::numeric_limits<std::int32_t>::min())
        return false;
    if (!CheckBufferSize(static_cast<std::int32_t>(reserve)))
        return false;
    if (std::int64_t{m_nLength} + written <= m_nCapacity)
        return true;
    // Only a negative reserve (a bin block with a negative count) gets here.
    return written - 1 <= std::numeric_limits<std::int32_t>::max() &&
           CheckBufferSize(static_cast<std::int32_t>(written - 1));
}
