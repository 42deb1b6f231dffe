// Tests of CUdpDataBlockEx values, buffer growth, resets and assignment: word
// layouts and counts, end-of-data results, and the bounds that keep every get
// and append inside the buffer.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::int32_t kStartCapacity = 512;

// A block whose data fill its buffer completely (as the shared-memory channel
// may leave it), so that anything read behind the data would lie outside it.
void FillToCapacity(CUdpDataBlockEx& block, std::int32_t word)
{
    for (std::int32_t i = 0; i < block.m_nCapacity; ++i)
        block.m_pData[i] = word;
    block.m_nLength = block.m_nCapacity;
}

TEST(DataBlockConstruction, DefaultAndCallBlocksStartEmpty)
{
    CUdpDataBlockEx plain;
    EXPECT_EQ(plain.m_nProcedure, kNoProcedure);
    EXPECT_EQ(plain.m_nType, -1);
    EXPECT_EQ(plain.m_nReferenceNumber, 0);
    EXPECT_EQ(plain.m_nLength, 0);
    EXPECT_EQ(plain.m_nPacketPos, 0);
    EXPECT_EQ(plain.m_nReadPos, 0);
    EXPECT_EQ(plain.m_nCapacity, kStartCapacity);

    CUdpDataBlockEx call(42);
    EXPECT_EQ(call.m_nProcedure, 42);
    EXPECT_EQ(call.m_nType, 1);
    EXPECT_EQ(call.m_nLength, 0);
    EXPECT_EQ(call.m_nCapacity, kStartCapacity);
}

TEST(DataBlockBuffer, FiveHundredTwelfthWordGrowsTo4608)
{
    CUdpDataBlockEx block;
    for (int i = 0; i < 511; ++i)
        ASSERT_TRUE(block.AppendLongData(i));
    EXPECT_EQ(block.m_nCapacity, 512);
    const std::int32_t* before = block.m_pData;
    ASSERT_TRUE(block.AppendLongData(511));
    EXPECT_EQ(block.m_nCapacity, 4608);
    EXPECT_NE(block.m_pData, before);
    for (int i = 0; i < 512; ++i)
        ASSERT_EQ(block.GetLongData(), i);
}

TEST(DataBlockBuffer, GrowAddsWholeStepsOf4096)
{
    struct Case { std::int32_t request; std::int32_t added; };
    for (const Case& c : {Case{1, 4096}, Case{4095, 4096}, Case{4096, 8192}, Case{5000, 8192}, Case{0, 4096}}) {
        CUdpDataBlockEx block;
        block.AppendLongData(7);
        ASSERT_TRUE(block.Grow(c.request)) << c.request;
        EXPECT_EQ(block.m_nCapacity, kStartCapacity + c.added) << c.request;
        EXPECT_EQ(block.m_pData[0], 7);
    }
}

TEST(DataBlockBuffer, CheckBufferSizeIsStrict)
{
    CUdpDataBlockEx block;
    block.m_nLength = 500;
    EXPECT_TRUE(block.CheckBufferSize(11));
    EXPECT_EQ(block.m_nCapacity, 512);
    EXPECT_TRUE(block.CheckBufferSize(12));  // 512 < 512 fails: grows
    EXPECT_EQ(block.m_nCapacity, 512 + 4096);
}

TEST(DataBlockBuffer, OversizedRequestsAreRefusedWithoutChange)
{
    CUdpDataBlockEx block;
    block.AppendLongData(3);
    const std::int32_t* buffer = block.m_pData;
    EXPECT_FALSE(block.Grow(std::numeric_limits<std::int32_t>::max()));
    EXPECT_FALSE(block.CheckBufferSize(std::numeric_limits<std::int32_t>::max()));
    EXPECT_FALSE(block.Grow(-100000));
    const std::int32_t huge[1] = {std::numeric_limits<std::int32_t>::max()};
    EXPECT_FALSE(block.AppendBinBlockData(huge));
    EXPECT_EQ(block.m_pData, buffer);
    EXPECT_EQ(block.m_nCapacity, 512);
    EXPECT_EQ(block.m_nLength, 1);
}

TEST(DataBlockValues, NumbersRoundTripWithLowWordFirst)
{
    CUdpDataBlockEx block;
    ASSERT_TRUE(block.AppendLongData(-5));
    ASSERT_TRUE(block.AppendFloatData(1.5f));
    ASSERT_TRUE(block.AppendDoubleData(-2.25));
    ASSERT_TRUE(block.AppendInt64Data(0x1122334455667788LL));
    ASSERT_TRUE(block.AppendUInt64Data(0xFEDCBA9876543210ULL));
    EXPECT_EQ(block.m_nLength, 8);
    EXPECT_EQ(block.m_pData[2], 0);  // -2.25: the low half of its bits is zero
    EXPECT_EQ(static_cast<std::uint32_t>(block.m_pData[3]), 0xC0020000u);
    EXPECT_EQ(block.m_pData[4], 0x55667788);
    EXPECT_EQ(block.m_pData[5], 0x11223344);
    EXPECT_EQ(static_cast<std::uint32_t>(block.m_pData[6]), 0x76543210u);
    EXPECT_EQ(static_cast<std::uint32_t>(block.m_pData[7]), 0xFEDCBA98u);

    EXPECT_EQ(block.GetLongData(), -5);
    EXPECT_EQ(block.GetFloatData(), 1.5f);
    EXPECT_EQ(block.GetDoubleData(), -2.25);
    EXPECT_EQ(block.GetInt64Data(), 0x1122334455667788LL);
    EXPECT_EQ(block.GetUInt64Data(), 0xFEDCBA9876543210ULL);
    EXPECT_EQ(block.m_nReadPos, 8);
    EXPECT_EQ(block.GetLongData(), -1);
}

TEST(DataBlockValues, EmptyBlockGivesEndOfDataResults)
{
    const CUdpDataBlockEx block;
    EXPECT_EQ(block.GetLongData(), -1);
    EXPECT_EQ(block.GetInt64Data(), 0);
    EXPECT_EQ(block.GetUInt64Data(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(block.GetFloatData(), 0.0f);
    EXPECT_EQ(block.GetDoubleData(), 0.0);
    char text[8] = "xyz";
    EXPECT_FALSE(block.GetStringData(text, sizeof text));
    EXPECT_STREQ(text, "");
    unsigned char bytes[4] = {9, 9, 9, 9};
    EXPECT_FALSE(block.GetArray(bytes, 4));
    EXPECT_EQ(bytes[0], 0);
    std::int32_t words[2] = {5, 5};
    EXPECT_FALSE(block.GetBinBlockData(words));
    EXPECT_EQ(words[0], 0);
    EXPECT_EQ(block.m_nReadPos, 0);
}

TEST(DataBlockValues, StringsTakeLengthOverFourPlusOneWords)
{
    struct Case { std::string text; std::int32_t words; };
    for (const Case& c : {Case{"", 1}, Case{"abc", 1}, Case{"abcd", 2}, Case{"abcdefg", 2}, Case{"abcdefgh", 3}}) {
        CUdpDataBlockEx block;
        ASSERT_TRUE(block.AppendStringData(c.text.c_str()));
        EXPECT_EQ(block.m_nLength, c.words) << '"' << c.text << '"';
        char out[16] = "garbage";
        EXPECT_TRUE(block.GetStringData(out, sizeof out));
        EXPECT_EQ(std::string(out), c.text);
        EXPECT_EQ(block.m_nReadPos, c.words);
    }
}

TEST(DataBlockValues, StringThatDoesNotFitLeavesCursor)
{
    CUdpDataBlockEx block;
    block.AppendStringData("abcd");
    char out[5] = "zzzz";
    EXPECT_FALSE(block.GetStringData(out, 4));
    EXPECT_STREQ(out, "");
    EXPECT_EQ(block.m_nReadPos, 0);
    EXPECT_TRUE(block.GetStringData(out, 5));
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(block.m_nReadPos, 2);
}

TEST(DataBlockValues, ArraysTakeCountOverFourPlusOneWords)
{
    CUdpDataBlockEx block;
    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(block.AppendArray(eight, 8));
    EXPECT_EQ(block.m_nLength, 3);
    ASSERT_TRUE(block.AppendArray(nullptr, 0));
    EXPECT_EQ(block.m_nLength, 4);
    const unsigned char five[5] = {10, 11, 12, 13, 14};
    ASSERT_TRUE(block.AppendArray(five, 5));
    EXPECT_EQ(block.m_nLength, 6);

    unsigned char out[8] = {};
    EXPECT_TRUE(block.GetArray(out, 8));
    EXPECT_EQ(std::memcmp(out, eight, 8), 0);
    EXPECT_EQ(block.m_nReadPos, 3);
    EXPECT_TRUE(block.GetArray(out, 0));
    EXPECT_EQ(block.m_nReadPos, 4);
    EXPECT_TRUE(block.GetArray(out, 5));
    EXPECT_EQ(std::memcmp(out, five, 5), 0);
    EXPECT_EQ(block.m_nReadPos, 6);
}

TEST(DataBlockValues, NegativeByteCountsAreRefused)
{
    CUdpDataBlockEx block;
    const char bytes[4] = {1, 2, 3, 4};
    EXPECT_FALSE(block.AppendArray(bytes, -4));
    EXPECT_EQ(block.m_nLength, 0);
    block.AppendLongData(1);
    unsigned char out[4] = {7, 7, 7, 7};
    EXPECT_FALSE(block.GetArray(out, -1));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(block.m_nReadPos, 0);
}

TEST(DataBlockValues, BinBlocksCarryTheirCount)
{
    CUdpDataBlockEx block;
    const std::int32_t none[1] = {0};
    const std::int32_t three[4] = {3, 10, 20, 30};
    const std::int32_t negative[1] = {-4};
    ASSERT_TRUE(block.AppendBinBlockData(none));
    EXPECT_EQ(block.m_nLength, 1);
    ASSERT_TRUE(block.AppendBinBlockData(three));
    EXPECT_EQ(block.m_nLength, 5);
    ASSERT_TRUE(block.AppendBinBlockData(negative));
    EXPECT_EQ(block.m_nLength, 6);

    std::int32_t out[8] = {};
    EXPECT_TRUE(block.GetBinBlockData(out));
    EXPECT_EQ(out[0], 0);
    EXPECT_TRUE(block.GetBinBlockData(out));
    EXPECT_EQ(std::vector<std::int32_t>(out, out + 4), std::vector<std::int32_t>(three, three + 4));
    out[0] = 99;
    EXPECT_FALSE(block.GetBinBlockData(out));  // negative count
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(block.m_nReadPos, 6);
}

TEST(DataBlockValues, BadBinBlockCountsFailBehindTheCountWord)
{
    struct Case { const char* name; std::int32_t count; };
    // Each block holds the count word and two more words (length 3).
    for (const Case& c : {Case{"count equals the length", 3}, Case{"huge", 1 << 30}, Case{"negative", -1}}) {
        CUdpDataBlockEx block;
        block.AppendLongData(c.count);
        block.AppendLongData(1);
        block.AppendLongData(2);
        std::int32_t out[4] = {5, 5, 5, 5};
        EXPECT_FALSE(block.GetBinBlockData(out)) << c.name;
        EXPECT_EQ(out[0], 0) << c.name;
        EXPECT_EQ(block.m_nReadPos, 1) << c.name;
    }
    // Count 2 passes "below the length" (4) but only one word follows it.
    CUdpDataBlockEx block;
    block.AppendLongData(7);
    block.AppendLongData(0);
    block.AppendLongData(2);
    block.AppendLongData(9);
    block.GetLongData();
    block.GetLongData();
    std::int32_t out[4] = {5, 5, 5, 5};
    EXPECT_FALSE(block.GetBinBlockData(out));
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(block.m_nReadPos, 3);
    EXPECT_EQ(block.GetLongData(), 9);
}

TEST(DataBlockValues, SixtyFourBitGetWithOneWordLeftReadsZeroHighHalf)
{
    CUdpDataBlockEx block;
    FillToCapacity(block, 0x01020304);
    block.m_nReadPos = block.m_nLength - 1;
    EXPECT_EQ(block.GetUInt64Data(), 0x01020304ULL);
    EXPECT_EQ(block.m_nReadPos, block.m_nLength + 1);
    EXPECT_EQ(block.GetLongData(), -1);
    block.m_nReadPos = block.m_nLength - 1;
    EXPECT_EQ(block.GetInt64Data(), 0x01020304LL);
    block.m_nReadPos = block.m_nLength - 1;
    EXPECT_NE(block.GetDoubleData(), 0.0);
}

TEST(DataBlockValues, ArrayBytesBehindTheDataReadAsZero)
{
    CUdpDataBlockEx block;
    FillToCapacity(block, -1);
    block.m_nReadPos = block.m_nLength - 1;
    unsigned char out[6] = {};
    ASSERT_TRUE(block.GetArray(out, 6));  // 1 + 6/4 = 2 words, one of them behind the data
    const unsigned char expected[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(std::memcmp(out, expected, 6), 0);
    EXPECT_EQ(block.m_nReadPos, block.m_nLength + 1);
}

TEST(DataBlockValues, StringWithoutZeroInTheDataFails)
{
    CUdpDataBlockEx block;
    FillToCapacity(block, 0x41414141);
    std::vector<char> out(4 * block.m_nCapacity + 8, 'x');
    EXPECT_FALSE(block.GetStringData(out.data(), static_cast<int>(out.size())));
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(block.m_nReadPos, 0);

    CUdpDataBlockEx shortData;  // zero lies in the buffer, but behind the data
    shortData.AppendLongData(0x41414141);
    EXPECT_FALSE(shortData.GetStringData(out.data(), static_cast<int>(out.size())));
    EXPECT_EQ(shortData.m_nReadPos, 0);
}

TEST(DataBlockValues, StringsNeverTakeTheBlockPast32767Words)
{
    CUdpDataBlockEx block;
    ASSERT_TRUE(block.CheckBufferSize(40000));
    block.m_nLength = 32760;
    const std::string text(40, 'q');
    EXPECT_FALSE(block.AppendStringData(text.c_str()));
    EXPECT_EQ(block.m_nLength, 32760);
    EXPECT_TRUE(block.AppendStringData("short"));
    EXPECT_EQ(block.m_nLength, 32762);
}

TEST(DataBlockValues, NegativeLengthRefusesAppendsAndGets)
{
    CUdpDataBlockEx block;
    block.m_nLength = -5;
    EXPECT_FALSE(block.AppendLongData(1));
    EXPECT_FALSE(block.AppendStringData("a"));
    const std::int32_t bin[1] = {-3};
    EXPECT_FALSE(block.AppendBinBlockData(bin));
    EXPECT_EQ(block.GetLongData(), -1);
    block.m_nLength = 2;
    block.m_nReadPos = -3;
    EXPECT_EQ(block.GetLongData(), -1);
}

TEST(DataBlockResets, ClearResetForReturnAndResetReadPos)
{
    CUdpDataBlockEx block(17);
    block.m_nReferenceNumber = 99;
    block.AppendLongData(1);
    block.AppendLongData(2);
    block.GetLongData();
    block.m_nPacketPos = 2;
    block.ResetReadPos();
    EXPECT_EQ(block.m_nReadPos, 0);
    EXPECT_EQ(block.m_nLength, 2);

    block.ResetForReturn();
    EXPECT_EQ(block.m_nProcedure, 17);
    EXPECT_EQ(block.m_nReferenceNumber, 99);
    EXPECT_EQ(block.m_nType, 2);
    EXPECT_EQ(block.m_nLength, 0);
    EXPECT_EQ(block.m_nPacketPos, 0);

    block.Clear();
    EXPECT_EQ(block.m_nProcedure, kNoProcedure);
    EXPECT_EQ(block.m_nType, -1);
    EXPECT_EQ(block.m_nReferenceNumber, 0);
    EXPECT_EQ(block.m_nCapacity, 512);
}

TEST(DataBlockAssignment, CopiesHeaderAndDataButNotTheReadCursor)
{
    CUdpDataBlockEx source(5);
    source.m_nReferenceNumber = 77;
    for (int i = 0; i < 600; ++i)
        source.AppendLongData(i);
    source.m_nPacketPos = 350;
    source.GetLongData();

    CUdpDataBlockEx target;
    target.AppendLongData(-9);
    target.GetLongData();
    target = source;
    EXPECT_EQ(target.m_nReadPos, 0);
    EXPECT_EQ(target.m_nProcedure, 5);
    EXPECT_EQ(target.m_nType, 1);
    EXPECT_EQ(target.m_nReferenceNumber, 77);
    EXPECT_EQ(target.m_nPacketPos, 350);
    EXPECT_EQ(target.m_nLength, 600);
    EXPECT_EQ(target.m_nCapacity, source.m_nCapacity);
    EXPECT_NE(target.m_pData, source.m_pData);
    EXPECT_EQ(std::memcmp(target.m_pData, source.m_pData, 600 * sizeof(std::int32_t)), 0);

    // A larger target keeps its own buffer.
    CUdpDataBlockEx small;
    small.AppendLongData(4);
    const std::int32_t* buffer = target.m_pData;
    const std::int32_t capacity = target.m_nCapacity;
    target = small;
    EXPECT_EQ(target.m_pData, buffer);
    EXPECT_EQ(target.m_nCapacity, capacity);
    EXPECT_EQ(target.GetLongData(), 4);
    EXPECT_EQ(target.GetLongData(), -1);

    const CUdpDataBlockEx& itself = target;
    target = itself;  // self-assignment keeps the data
    EXPECT_EQ(target.m_nLength, 1);
    EXPECT_EQ(target.m_nReadPos, 0);
}

TEST(DataBlockAssignment, PartlyReassembledSourceCopiesOnlyItsBuffer)
{
    CUdpDataBlockEx source;
    source.m_nProcedure = 3;
    source.m_nLength = 30000;  // announced total, far beyond the 512-word buffer
    CUdpDataBlockEx target;
    target = source;
    EXPECT_EQ(target.m_nLength, 30000);
    EXPECT_EQ(target.m_nCapacity, 512);
    EXPECT_EQ(target.GetLongData(), 0);
    CUdpDataBlockEx copy(source);
    EXPECT_EQ(copy.m_nLength, 30000);
}

TEST(DataBlockAssignment, CopyConstructorMakesAnIndependentBlock)
{
    CUdpDataBlockEx source(8);
    source.AppendStringData("hello");
    source.AppendLongData(12);
    char text[8];
    source.GetStringData(text, sizeof text);

    CUdpDataBlockEx copy(source);
    EXPECT_EQ(copy.m_nReadPos, 0);
    EXPECT_NE(copy.m_pData, source.m_pData);
    source.m_pData[0] = 0;
    EXPECT_TRUE(copy.GetStringData(text, sizeof text));
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(copy.GetLongData(), 12);
    EXPECT_EQ(copy.m_nProcedure, 8);
}

}  // namespace
