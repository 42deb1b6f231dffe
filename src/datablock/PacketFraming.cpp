// CUdpDataBlockEx: cutting a block into packets (a 16-byte header and up to 350
// data words) and putting it together again, one packet at a time, strictly
// in order.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <algorithm>
#include <bit>
#include <cstring>

// Packets carry the block's words as they lie in memory; peers read them as
// little-endian 32-bit words.
static_assert(std::endian::native == std::endian::little, "the wire format needs little-endian words");

namespace {

constexpr int kHeaderWords = 4;
constexpr int kHeaderBytes = 4 * kHeaderWords;

// Header word 3: the end position in the low 16 bits, the total in the high 16 bits.
std::int32_t PackPositions(std::int32_t end, std::int32_t total)
{
    const std::uint32_t low = static_cast<std::uint32_t>(end) & 0xFFFFu;
    const std::uint32_t high = (static_cast<std::uint32_t>(total) & 0xFFFFu) << 16;
    return static_cast<std::int32_t>(high | low);
}

std::int32_t EndPosition(std::int32_t positions)
{
    return static_cast<std::int16_t>(static_cast<std::uint32_t>(positions) & 0xFFFFu);
}

std::int32_t Total(std::int32_t positions)
{
    return static_cast<std::int16_t>(static_cast<std::uint32_t>(positions) >> 16);
}

}  // namespace

void CUdpDataBlockEx::GetPacketAt(std::int16_t start, std::int32_t* record, bool advance)
{
    if (record == nullptr)
        return;
    record[0] = 0;
    // Only at or behind the packet cursor, within the data, and for a block
    // whose positions fit the 16-bit header fields.
    if (start < m_nPacketPos || start > m_nLength || start < 0 || m_nLength > talvex::kMaxFramedWords)
        return;
    const std::int32_t count = std::min<std::int32_t>(m_nLength - start, talvex::kMaxPacketDataWords);
    // A block that announces more words than its buffer holds (a refused first
    // packet of a reassembly) has nothing to send from there.
    if (count > 0 && (m_pData == nullptr || start + count > m_nCapacity))
        return;
    record[1] = m_nType;
    record[2] = m_nProcedure;
    record[3] = m_nReferenceNumber;
    record[4] = PackPositions(start + count, m_nLength);
    if (count > 0)
        std::memcpy(record + 1 + kHeaderWords, m_pData + start, static_cast<std::size_t>(count) * sizeof(std::int32_t));
    if (advance)
        m_nPacketPos = static_cast<std::int16_t>(start + count);
    record[0] = kHeaderBytes + 4 * count;
}

std::int32_t CUdpDataBlockEx::AddRawData(const std::int32_t* packet, std::int16_t size)
{
    const std::int32_t words = size / 4;
    if (packet == nullptr || size < 0 || words < kHeaderWords)
        return -1;
    const std::int32_t count = words - kHeaderWords;
    const std::int32_t type = packet[0];
    const std::int32_t procedure = packet[1];
    const std::int32_t reference = packet[2];
    const std::int32_t end = EndPosition(packet[3]);
    const std::int32_t total = Total(packet[3]);

    if (m_nProcedure == talvex::kNoProcedure) {
        // A fresh block binds to the first packet that passes the size test,
        // whether or not that packet is then accepted.
        m_nType = type;
        m_nProcedure = procedure;
        m_nReferenceNumber = reference;
        m_nLength = total;
        // The words up to the announced total are readable by the gets from now on;
        // clear what the buffer holds there, so that a block that receives less than
        // it announces reads zeros, never the words of an earlier datagram.
        const std::int32_t readable = std::min(total, m_nCapacity);
        if (readable > 0 && m_pData != nullptr)
            std::memset(m_pData, 0, static_cast<std::size_t>(readable) * sizeof(std::int32_t));
    } else if (type != m_nType || procedure != m_nProcedure || reference != m_nReferenceNumber) {
        return -1;
    }

    const std::int32_t start = end - count;
    if (start != m_nPacketPos || start < 0)
        return -1;  // out of order: a repeat, a gap, or nonsense positions
    // Nothing may be written behind the announced total or past what the
    // 16-bit positions can express.
    if (end > m_nLength || end > talvex::kMaxFramedWords)
        return -1;
    if (!CheckBufferSize(count) || end > m_nCapacity)
        return -1;
    if (count > 0)
        std::memcpy(m_pData + start, packet + kHeaderWords, static_cast<std::size_t>(count) * sizeof(std::int32_t));
    m_nPacketPos = static_cast<std::int16_t>(end);
    return m_nLength >= total ? 1 : 0;
}
