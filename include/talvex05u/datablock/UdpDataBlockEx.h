#pragma once
// CUdpDataBlockEx: the typed word buffer that every call, return, event and
// broadcast carries, and the packet framing that cuts it into datagrams and puts
// it together again. Values are appended and read back in the same order; words
// are 32-bit little-endian, in memory and on the wire.
#include <cstdint>

namespace talvex {
// Size of the packet record that GetPacketAt fills: word 0 the packet size in
// bytes, words 1..4 the header, words 5.. up to 350 data words.
constexpr int kPacketRecordWords = 355;
// Most data words in one packet, and the largest packet in bytes.
constexpr int kMaxPacketDataWords = 350;
constexpr int kMaxPacketBytes = 16 + 4 * kMaxPacketDataWords;
// Largest block that packet framing handles (positions travel as signed 16-bit numbers).
constexpr std::int32_t kMaxFramedWords = 32767;
// m_nProcedure of a block that holds nothing and has taken no packet yet.
constexpr std::int32_t kNoProcedure = 2147483647;
}  // namespace talvex

class CUdpDataBlockEx {
public:
    std::int32_t m_nProcedure;
    std::int32_t m_nType;
    std::int32_t m_nReferenceNumber;
    std::int16_t m_nPacketPos;
    std::int32_t m_nLength;
    std::int32_t* m_pData;
    std::int32_t m_nCapacity;
    mutable std::int32_t m_nReadPos;

    CUdpDataBlockEx();                                          // empty block, 512 words
    explicit CUdpDataBlockEx(std::int32_t procedure);           // empty call block (type 1)
    CUdpDataBlockEx(const std::int32_t* packet, std::int16_t size);  // block from one received packet
    CUdpDataBlockEx(const CUdpDataBlockEx& other);
    ~CUdpDataBlockEx();
    const CUdpDataBlockEx& operator=(const CUdpDataBlockEx& other);

    void Clear();
    void ResetForReturn();
    void ResetReadPos();

    bool Grow(std::int32_t words);
    bool CheckBufferSize(std::int32_t words);

    bool AppendLongData(std::int32_t value);
    bool AppendFloatData(float value);
    bool AppendDoubleData(double value);
    bool AppendInt64Data(std::int64_t value);
    bool AppendUInt64Data(std::uint64_t value);
    bool AppendStringData(const char* text);
    bool AppendArray(const void* bytes, std::int32_t count);
    bool AppendBinBlockData(const std::int32_t* block);

    std::int32_t GetLongData() const;
    float GetFloatData() const;
    double GetDoubleData() const;
    std::int64_t GetInt64Data() const;
    std::uint64_t GetUInt64Data() const;
    bool GetStringData(char* destination, int size) const;
    bool GetArray(void* destination, std::int32_t count) const;
    bool GetBinBlockData(std::int32_t* destination) const;

    // Packet framing.
    void GetPacketAt(std::int16_t start, std::int32_t* record, bool advance);
    std::int32_t AddRawData(const std::int32_t* packet, std::int16_t size);

private:
    // Words that gets may read: the data words that lie inside the buffer.
    std::int32_t ReadableEnd() const;
    // True when the read cursor stands on a readable word.
    bool HasWordToRead() const;
    // The word at `index`, or 0 when it lies outside the readable words.
    std::int32_t WordOrZero(std::int64_t index) const;
    // Reads two words (low half first) for the 64-bit gets; cursor + 2.
    std::uint64_t TakeTwoWords() const;
    // Makes room for `reserve` words as CheckBufferSize does and checks that
    // `written` words then fit behind the data.
    bool MakeRoom(std::int64_t reserve, std::int64_t written);
    // Replaces the buffer by a zero-filled one of `capacity` words, keeping
    // `keepWords` leading words; false (block unchanged) when allocation fails.
    bool Reallocate(std::int64_t capacity, std::int64_t keepWords);
};
