// CUdpDataBlockEx values, buffer growth and assignment: word layouts, end-of-data
// results, and the bounds that keep every get and append inside the buffer.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace {

using V = std::vector<std::int32_t>;
constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();

CUdpDataBlockEx Words(std::initializer_list<std::int32_t> words) {
    CUdpDataBlockEx block;
    for (const std::int32_t word : words) block.AppendLongData(word);
    return block;
}

// Read cursor, procedure, type, reference, packet cursor, length and capacity.
V Fields(const CUdpDataBlockEx& b) { return {b.m_nReadPos, b.m_nProcedure, b.m_nType, b.m_nReferenceNumber, b.m_nPacketPos, b.m_nLength, b.m_nCapacity}; }

// Data that fill the whole buffer, so that anything read behind them lies outside it.
void FillToCapacity(CUdpDataBlockEx& block, std::int32_t word, std::int32_t readPos) {
    std::fill(block.m_pData, block.m_pData + block.m_nCapacity, word);
    block.m_nLength = block.m_nCapacity;
    block.m_nReadPos = readPos < 0 ? block.m_nLength + readPos : readPos;
}

TEST(DataBlockBuffer, GrowthAndItsLimits) {
    CUdpDataBlockEx block;
    for (int i = 0; i < 511; ++i) ASSERT_TRUE(block.AppendLongData(i));
    EXPECT_EQ(block.m_nCapacity, 512);
    ASSERT_TRUE(block.AppendLongData(511));
    EXPECT_EQ(block.m_nCapacity, 4608);
    for (int i = 0; i < 512; ++i) ASSERT_EQ(block.GetLongData(), i);

    CUdpDataBlockEx refused = Words({3});
    const std::int32_t* buffer = refused.m_pData;
    const std::int32_t huge[1] = {kMaxInt};
    EXPECT_FALSE(refused.Grow(kMaxInt) || refused.CheckBufferSize(kMaxInt) || refused.Grow(-100000) || refused.AppendBinBlockData(huge));
    EXPECT_EQ(std::make_tuple(refused.m_pData, refused.m_nCapacity, refused.m_nLength), std::make_tuple(buffer, 512, 1));

    CUdpDataBlockEx limited;  // appends never take a block past 32767 words
    ASSERT_TRUE(limited.CheckBufferSize(40000));
    limited.m_nLength = 32760;
    EXPECT_FALSE(limited.AppendStringData(std::string(40, 'q').c_str()));
    EXPECT_EQ(limited.m_nLength, 32760);
    EXPECT_TRUE(limited.AppendStringData("short"));
    EXPECT_EQ(limited.m_nLength, 32762);
}

TEST(DataBlockValues, NumbersRoundTripWithLowWordFirst) {
    CUdpDataBlockEx block;
    ASSERT_TRUE(block.AppendLongData(-5) && block.AppendFloatData(1.5f) && block.AppendDoubleData(-2.25) &&
                block.AppendInt64Data(0x1122334455667788LL) && block.AppendUInt64Data(0xFEDCBA9876543210ULL));
    const std::vector<std::uint32_t> expected = {0xFFFFFFFBu, 0x3FC00000u, 0u, 0xC0020000u, 0x55667788u, 0x11223344u, 0x76543210u, 0xFEDCBA98u};
    EXPECT_EQ(std::vector<std::uint32_t>(block.m_pData, block.m_pData + block.m_nLength), expected);
    // Braces read the values in order, the cursor last.
    EXPECT_EQ((std::tuple<std::int32_t, float, double, std::int64_t, std::uint64_t, std::int32_t>{block.GetLongData(), block.GetFloatData(),
               block.GetDoubleData(), block.GetInt64Data(), block.GetUInt64Data(), block.m_nReadPos}),
              std::make_tuple(-5, 1.5f, -2.25, std::int64_t{0x1122334455667788LL}, std::uint64_t{0xFEDCBA9876543210ULL}, 8));
}

// Gets on an empty block, then negative counts, lengths and cursors, then gets at
// the end of a buffer that the data fill.
TEST(DataBlockValues, EveryGetAtTheEndOfTheDataOrOfAFullBufferStaysInsideItAndNegativeCountsAreRefused) {
    CUdpDataBlockEx block;
    EXPECT_EQ(std::make_tuple(block.GetLongData(), block.GetInt64Data(), block.GetFloatData(), block.GetDoubleData()), std::make_tuple(-1, std::int64_t{0}, 0.0f, 0.0));
    EXPECT_EQ(block.GetUInt64Data(), std::numeric_limits<std::uint64_t>::max());
    char text[8] = "xyz";
    unsigned char bytes[4] = {9, 9, 9, 9};
    std::int32_t words[2] = {5, 5};
    EXPECT_FALSE(block.GetStringData(text, sizeof text) || block.GetArray(bytes, 4) || block.GetBinBlockData(words));
    EXPECT_STREQ(text, "");
    EXPECT_EQ(std::make_tuple(bytes[0], words[0], block.m_nReadPos), std::make_tuple(0, 0, 0));

    EXPECT_FALSE(block.AppendArray(bytes, -4));
    EXPECT_EQ(block.m_nLength, 0);
    block.AppendLongData(1);
    bytes[0] = 7;
    EXPECT_FALSE(block.GetArray(bytes, -1));
    EXPECT_EQ(std::make_tuple(static_cast<int>(bytes[0]), block.m_nReadPos), std::make_tuple(0, 0));

    block.m_nLength = -5;
    const std::int32_t bin[1] = {-3};
    EXPECT_FALSE(block.AppendLongData(1) || block.AppendStringData("a") || block.AppendBinBlockData(bin));
    EXPECT_EQ(block.GetLongData(), -1);
    block.m_nLength = 1;
    block.m_nReadPos = -3;
    EXPECT_EQ(block.GetLongData(), -1);

    FillToCapacity(block, 0x01020304, -1);  // one word left: the high half reads 0
    EXPECT_EQ((std::tuple<std::uint64_t, std::int32_t, std::int32_t>{block.GetUInt64Data(), block.m_nReadPos, block.GetLongData()}),
              std::make_tuple(std::uint64_t{0x01020304ULL}, block.m_nLength + 1, -1));  // read in order
    block.m_nReadPos = block.m_nLength - 1;
    EXPECT_EQ(block.GetInt64Data(), 0x01020304LL);

    FillToCapacity(block, -1, -1);
    unsigned char out[6] = {};
    ASSERT_TRUE(block.GetArray(out, 6));  // 2 words, one of them behind the data
    const unsigned char expected[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(std::memcmp(out, expected, 6), 0);

    FillToCapacity(block, 0x41414141, 0);  // a string without its zero
    std::vector<char> room(4 * block.m_nCapacity + 8, 'x');
    EXPECT_FALSE(block.GetStringData(room.data(), static_cast<int>(room.size())));
    EXPECT_EQ(std::make_tuple(room[0], block.m_nReadPos), std::make_tuple('\0', 0));
    CUdpDataBlockEx shortData = Words({0x41414141});  // its zero lies behind the data
    EXPECT_FALSE(shortData.GetStringData(room.data(), static_cast<int>(room.size())));
    EXPECT_EQ(shortData.m_nReadPos, 0);
}

TEST(DataBlockValues, StringsAndArraysTakeBytesOverFourPlusOneWords) {
    for (const auto& [text, words] : {std::pair<std::string, int>{"", 1}, {"abc", 1}, {"abcd", 2}, {"abcdefg", 2}, {"abcdefgh", 3}}) {
        CUdpDataBlockEx block;
        ASSERT_TRUE(block.AppendStringData(text.c_str()));
        char out[16] = "garbage";
        EXPECT_TRUE(block.GetStringData(out, sizeof out));
        EXPECT_EQ(std::make_tuple(block.m_nLength, std::string(out), block.m_nReadPos), std::make_tuple(words, text, words));
    }
    CUdpDataBlockEx block;
    block.AppendStringData("abcd");
    char out[5] = "zzzz";
    EXPECT_FALSE(block.GetStringData(out, 4));  // no room for the zero: the cursor stays
    EXPECT_EQ(std::make_tuple(std::string(out), block.m_nReadPos), std::make_tuple(std::string(), 0));
    EXPECT_TRUE(block.GetStringData(out, 5));
    EXPECT_STREQ(out, "abcd");
    // From a read position above 0, the zero is looked for from there, within the length.
    CUdpDataBlockEx cut;
    cut.AppendLongData(42);
    cut.AppendStringData("abcdefg");
    cut.m_nLength = 2;
    char text[16] = "";
    EXPECT_EQ(cut.GetLongData(), 42);
    EXPECT_FALSE(cut.GetStringData(text, sizeof text));
    EXPECT_EQ(cut.m_nReadPos, 1);

    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CUdpDataBlockEx arrays;
    ASSERT_TRUE(arrays.AppendArray(eight, 8) && arrays.AppendArray(nullptr, 0));
    EXPECT_EQ(arrays.m_nLength, 3 + 1);
    unsigned char bytes[8] = {};
    EXPECT_TRUE(arrays.GetArray(bytes, 8));
    EXPECT_EQ(std::memcmp(bytes, eight, 8), 0);
    EXPECT_TRUE(arrays.GetArray(bytes, 0));  // copies nothing, not even a zero byte
    EXPECT_EQ(std::make_tuple(int{bytes[0]}, arrays.m_nReadPos), std::make_tuple(1, 4));
}

TEST(DataBlockValues, BinBlocksCarryTheirCountAndCountsBeyondTheDataFail) {
    CUdpDataBlockEx block;
    const std::int32_t none[1] = {0}, three[4] = {3, 10, 20, 30}, negative[1] = {-4};
    ASSERT_TRUE(block.AppendBinBlockData(none) && block.AppendBinBlockData(three) && block.AppendBinBlockData(negative));
    EXPECT_EQ(block.m_nLength, 6);
    std::int32_t out[4] = {};
    EXPECT_TRUE(block.GetBinBlockData(out) && out[0] == 0 && block.GetBinBlockData(out));
    EXPECT_EQ(V(out, out + 4), V(three, three + 4));
    out[0] = 99;
    EXPECT_FALSE(block.GetBinBlockData(out));  // negative count
    EXPECT_EQ(std::make_tuple(out[0], block.m_nReadPos), std::make_tuple(0, 6));

    // Read from word 1 of {5, count, 1, 2}: two words follow the count.
    for (const std::int32_t count : {3, 4, 1 << 30, -1}) {
        CUdpDataBlockEx bad = Words({5, count, 1, 2});
        bad.m_nReadPos = 1;
        std::int32_t words[4] = {5, 5, 5, 5};
        EXPECT_FALSE(bad.GetBinBlockData(words)) << count;
        EXPECT_EQ(words[0], 0) << count;
        EXPECT_EQ(bad.GetLongData(), 1) << count;  // the cursor stands behind the count word
    }
}

TEST(DataBlockAssignment, CopiesAllButTheReadCursorKeepsTheLargerBufferAndStaysInsideTheSource) {
    CUdpDataBlockEx source(5);
    source.m_nReferenceNumber = 77;
    for (int i = 0; i < 600; ++i) source.AppendLongData(i);
    source.m_nPacketPos = 350;
    source.GetLongData();

    CUdpDataBlockEx target = Words({-9});
    target.GetLongData();
    target = source;
    const CUdpDataBlockEx copy(source);
    for (const CUdpDataBlockEx* block : {&std::as_const(target), &copy}) {
        EXPECT_EQ(Fields(*block), V({0, 5, 1, 77, 350, 600, 4608}));
        EXPECT_NE(block->m_pData, source.m_pData);
        EXPECT_EQ(std::memcmp(block->m_pData, source.m_pData, 600 * sizeof(std::int32_t)), 0);
    }

    const std::int32_t* buffer = target.m_pData;
    const CUdpDataBlockEx small = Words({4});
    target = small;  // the smaller source keeps the larger buffer
    EXPECT_EQ(std::make_tuple(target.m_pData, target.m_nCapacity), std::make_tuple(buffer, 4608));
    const CUdpDataBlockEx& itself = target;
    target = itself;
    EXPECT_EQ((V{target.GetLongData(), target.GetLongData()}), V({4, -1}));  // read in order

    CUdpDataBlockEx partial, fromPartial;
    partial.m_nProcedure = 3;
    partial.m_nLength = 30000;  // announced total, far beyond the 512-word buffer
    fromPartial = partial;
    EXPECT_EQ(Fields(fromPartial), V({0, 3, -1, 0, 0, 30000, 512}));
    EXPECT_EQ(CUdpDataBlockEx(partial).m_nLength, 30000);
    EXPECT_EQ(fromPartial.GetLongData(), 0);
}

}  // namespace
