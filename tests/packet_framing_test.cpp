// Cutting data blocks into packets and reassembling them: header layout, packet cursor
// rules, binding of a fresh block, and refusal of packets that would write outside it.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

// Word 0 holds the datagram's size in bytes, the datagram follows from word 1 on.
using Record = std::array<std::int32_t, talvex::kPacketRecordWords>;
using Words = std::vector<std::int32_t>;

std::int32_t Positions(std::int32_t end, std::int32_t total) {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(end) & 0xFFFFu) | (static_cast<std::uint32_t>(total) << 16));
}

Record PacketAt(CUdpDataBlockEx& block, std::int16_t position, bool advance = true) {
    Record record{};
    block.GetPacketAt(position, record.data(), advance);
    return record;
}

int Add(CUdpDataBlockEx& block, const Record& record) { return block.AddRawData(record.data() + 1, static_cast<std::int16_t>(record[0])); }

// A datagram of call 5/6 of `type`, carrying the data words 1000, 1001, ...
Words Raw(std::int32_t type, std::int32_t end, std::int32_t total, std::int32_t dataWords, std::int32_t reference = 6) {
    Words words = {type, 5, reference, Positions(end, total)};
    for (std::int32_t i = 0; i < dataWords; ++i) words.push_back(1000 + i);
    return words;
}

int Add(CUdpDataBlockEx& block, const Words& raw) { return block.AddRawData(raw.data(), static_cast<std::int16_t>(4 * raw.size())); }

CUdpDataBlockEx CallOfWords(std::int32_t words) {
    CUdpDataBlockEx block(5);
    block.m_nReferenceNumber = 6;
    for (std::int32_t i = 0; i < words; ++i) block.AppendLongData(i * 3 + 1);
    return block;
}

TEST(PacketFraming, EmptyBlockTravelsAsOneHeaderOnlyPacket) {
    CUdpDataBlockEx sent = CallOfWords(0);
    const Record record = PacketAt(sent, 0);
    EXPECT_EQ(Words(record.begin(), record.begin() + 5), Words({16, 1, 5, 6, 0}));
    CUdpDataBlockEx received;
    EXPECT_EQ(Add(received, record), 1);
    EXPECT_EQ(Words({received.m_nProcedure, received.m_nPacketPos, received.m_nLength}), Words({5, 0, 0}));
}

TEST(PacketFraming, FullPacketThenHeaderOnlyPacketAndNoPacketBeyond32767Words) {
    CUdpDataBlockEx block = CallOfWords(350);
    Record record = PacketAt(block, 0);
    EXPECT_EQ(Words({record[0], record[4], record[5 + 349]}), Words({1416, Positions(350, 350), 349 * 3 + 1}));
    record = PacketAt(block, 350);
    EXPECT_EQ(Words({record[0], record[4]}), Words({16, Positions(350, 350)}));

    ASSERT_TRUE(block.CheckBufferSize(talvex::kMaxFramedWords + 10));
    block.m_nLength = talvex::kMaxFramedWords + 1;
    block.m_nPacketPos = 0;
    EXPECT_EQ(PacketAt(block, 0)[0], 0);
    block.m_nLength = talvex::kMaxFramedWords;
    EXPECT_EQ(PacketAt(block, 0)[0], 1416);
}

TEST(PacketFraming, SevenHundredWordsInTwoPacketsInEitherOrder) {
    CUdpDataBlockEx sent = CallOfWords(700);
    const Record first = PacketAt(sent, 0);
    EXPECT_EQ(first[4], Positions(350, 700));
    Record record{};
    record.fill(-7);
    sent.GetPacketAt(0, record.data(), true);  // below the packet cursor: nothing but word 0 written
    EXPECT_EQ(Words({record[0], record[1]}), Words({0, -7}));
    for (const std::int16_t position : {701, -1}) EXPECT_EQ(PacketAt(sent, position)[0], 0) << position;
    EXPECT_EQ(PacketAt(sent, 400, false)[0], 16 + 4 * 300);  // allowed, no advance
    EXPECT_EQ(sent.m_nPacketPos, 350);
    const Record second = PacketAt(sent, 350);
    EXPECT_EQ(Words({second[4], second[5]}), Words({Positions(700, 700), 350 * 3 + 1}));

    CUdpDataBlockEx received;
    EXPECT_EQ(Add(received, second), -1);  // binds the fresh block to the call
    EXPECT_EQ(Words({received.m_nType, received.m_nProcedure, received.m_nReferenceNumber, received.m_nLength,
                     received.m_nPacketPos}), Words({1, 5, 6, 700, 0}));
    EXPECT_EQ(Add(received, Raw(1, 350, 700, 350, 7)), -1);  // another call's packet
    EXPECT_EQ(Add(received, first), 1);
    const Words before(received.m_pData, received.m_pData + received.m_nCapacity);
    EXPECT_EQ(Add(received, first), -1);  // a repeat changes nothing
    EXPECT_EQ(Words(received.m_pData, received.m_pData + received.m_nCapacity), before);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Add(received, Raw(1, 350, 700, 0)), 1);  // a header-only packet at the cursor, again and again
    EXPECT_EQ(received.m_nPacketPos, 350);
    EXPECT_EQ(Add(received, second), 1);
    EXPECT_EQ(Words({received.m_nType, received.m_nProcedure, received.m_nReferenceNumber, received.m_nPacketPos}),
              Words({sent.m_nType, sent.m_nProcedure, sent.m_nReferenceNumber, sent.m_nLength}));
    ASSERT_EQ(received.m_nLength, sent.m_nLength);
    EXPECT_EQ(std::memcmp(received.m_pData, sent.m_pData, sizeof(std::int32_t) * sent.m_nLength), 0);
}

TEST(PacketFraming, ShortDatagramsOddSizesAndPacketsThatWouldWriteOutsideTheBlock) {
    const Words header = Raw(1, 0, 0, 0);
    for (const std::int16_t size : {std::int16_t{0}, std::int16_t{12}, std::int16_t{15}, std::int16_t{-16}}) {
        CUdpDataBlockEx block;
        const int result = block.AddRawData(header.data(), size);
        EXPECT_EQ(Words({result, block.m_nProcedure, block.m_nLength}), Words({-1, talvex::kNoProcedure, 0})) << size;  // still fresh
    }
    CUdpDataBlockEx block;
    EXPECT_EQ(block.AddRawData(nullptr, 16), -1);
    const Words packet = Raw(2, 1, 1, 2);
    EXPECT_EQ(block.AddRawData(packet.data(), 21), 1);  // the last 3 bytes are lost
    EXPECT_EQ(Words({block.m_nPacketPos, block.m_nLength, block.GetLongData()}), Words({1, 1, 1000}));

    CUdpDataBlockEx larger;
    ASSERT_EQ(Add(larger, Raw(2, 3, 10, 3)), 1);
    EXPECT_EQ(Add(larger, Raw(2, 5, 20, 2)), 0);  // a larger announced total
    EXPECT_EQ(Words({larger.m_nPacketPos, larger.m_nLength}), Words({5, 10}));

    // Packets that would write outside the block are refused.
    struct Case { const char* name; std::int32_t end, total, dataWords; };
    const Case cases[] = {
        {"end beyond the total", 8, 4, 8},
        {"end beyond the total, large", 32767, 100, 8000},
        {"negative total", 0, -5, 0},
        {"count makes the start negative", 3, 100, 8},
        {"negative end", -8, 100, 0},
        {"end wraps past 32767", -32768, -32768, 0},
    };
    for (const Case& c : cases) {
        CUdpDataBlockEx fresh;
        const int result = Add(fresh, Raw(2, c.end, c.total, c.dataWords));  // still bound to the packet's call:
        EXPECT_EQ(Words({result, fresh.m_nPacketPos, fresh.m_nProcedure, fresh.m_nCapacity}), Words({-1, 0, 5, 512})) << c.name;
    }
}

TEST(PacketFraming, BlockBoundToALargeTotalStaysInsideItsBuffer) {
    const Words later = Raw(2, 700, 30000, 350);
    CUdpDataBlockEx block;
    ASSERT_EQ(Add(block, later), -1);
    ASSERT_EQ(block.m_nLength, 30000);
    EXPECT_EQ(PacketAt(block, 0, false)[0], 1416);
    EXPECT_EQ(PacketAt(block, 700, false)[0], 0);  // would read past the buffer
    EXPECT_TRUE(block.AppendLongData(1));  // grows past the announced length
    ASSERT_GT(block.m_nCapacity, 30001);
    EXPECT_EQ(block.m_pData[30000], 1);

    CUdpDataBlockEx other;
    ASSERT_EQ(Add(other, later), -1);
    EXPECT_EQ(Add(other, Raw(2, 350, 30000, 350)), 1);
    EXPECT_GT(other.m_nCapacity, 30000);
    EXPECT_EQ(other.m_pData[349], 1349);
}

TEST(PacketFraming, ConstructorFromPacketSizesItsBuffer) {
    const Words packet = Raw(2, 350, 350, 350);
    for (const std::int16_t size : {std::int16_t{1416}, std::int16_t{100}, std::int16_t{-3}, std::int16_t{8}}) {
        const CUdpDataBlockEx block(packet.data(), size);
        EXPECT_EQ(Words({block.m_nCapacity, block.m_nProcedure, block.m_nReadPos}),
                  Words({size == 1416 ? 1416 : 512, size > 8 ? 5 : talvex::kNoProcedure, 0})) << size;
    }
    const CUdpDataBlockEx full(packet.data(), 1416);
    EXPECT_EQ(Words({full.m_nPacketPos, full.GetLongData()}), Words({350, 1000}));
}

}  // namespace
