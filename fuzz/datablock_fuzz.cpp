// Fuzz target for CUdpDataBlockEx: feeds the input as a sequence of datagrams to
// a fresh block, a block built from the first datagram and a bound sender
// block, then runs a sequence of appends, gets, framing and copies driven by the
// remaining bytes. Destinations are sized exactly, so any write or read outside
// them is caught; a block cut into packets must reassemble to itself.
#include "fuzz_input.h"
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using fuzzinput::Check;
using fuzzinput::InputReader;

// Blocks take no more appends or growth requests beyond this, so that one input stays small and fast.
constexpr std::int32_t kGrowthLimitWords = 1 << 15;
// Most operations one input runs.
constexpr int kMaxOperations = 1024;

// The block's own promises: a sane cursor and never more claimed room than buffer.
void CheckInvariants(const CUdpDataBlockEx& block) {
    Check(block.m_nCapacity >= 512);
    Check(block.m_pData != nullptr);
}

// A datagram of the input: declared size (as the receiver passes it) and the
// bytes behind it. The buffer is large enough for any 16-bit size, so
// AddRawData never reads outside it whatever the declared size.
struct Datagram {
    std::array<std::int32_t, 32768 / 4> words{};
    std::int16_t size = 0;
};

void ReadDatagram(InputReader& input, Datagram& datagram) {
    datagram.size = input.Int16();
    const std::size_t wanted = datagram.size > 0 ? std::min<std::size_t>(datagram.size, 2048) : 0;
    const std::size_t given = input.Bytes(datagram.words.data(), wanted);
    std::memset(reinterpret_cast<char*>(datagram.words.data()) + given, 0,
                std::max<std::size_t>(given, static_cast<std::size_t>(std::max<int>(datagram.size, 0))) - given);
}

// Cuts `block` into packets and reassembles them in a fresh block; both must agree.
void CheckRoundTrip(const CUdpDataBlockEx& original) {
    if (original.m_nLength < 0 || original.m_nLength > talvex::kMaxFramedWords || original.m_nLength > original.m_nCapacity)
        return;
    CUdpDataBlockEx sender(original);
    sender.m_nPacketPos = 0;
    if (sender.m_nProcedure == talvex::kNoProcedure) sender.m_nProcedure = 0;
    std::array<std::int32_t, talvex::kPacketRecordWords> record{};
    CUdpDataBlockEx receiver;
    for (int packets = 0; packets < 100; ++packets) {
        sender.GetPacketAt(receiver.m_nPacketPos, record.data(), true);
        Check(record[0] >= 16 && record[0] <= talvex::kMaxPacketBytes);
        Check(receiver.AddRawData(record.data() + 1, static_cast<std::int16_t>(record[0])) == 1);
        if (receiver.m_nPacketPos == receiver.m_nLength) break;
    }
    Check(receiver.m_nLength == sender.m_nLength);
    Check(receiver.m_nPacketPos == receiver.m_nLength);
    Check(std::memcmp(receiver.m_pData, sender.m_pData, sizeof(std::int32_t) * sender.m_nLength) == 0);
}

void RunGet(InputReader& input, const CUdpDataBlockEx& block, std::uint8_t kind) {
    switch (kind) {
    case 0: block.GetLongData(); break;
    case 1: block.GetFloatData(); break;
    case 2: block.GetDoubleData(); break;
    case 3: block.GetInt64Data(); break;
    case 4: block.GetUInt64Data(); break;
    case 5: {
        const int size = input.Int16();
        std::vector<char> text(static_cast<std::size_t>(std::max(size, 1)), 'x');
        block.GetStringData(text.data(), size);
        Check(size < 1 || std::memchr(text.data(), 0, text.size()) != nullptr);   // a string, even after a failure
        break;
    }
    case 6: {
        const std::int32_t count = input.Int16();
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max(count, 1)));
        block.GetArray(bytes.data(), count);
        break;
    }
    default: {
        // The destination holds exactly what a correct count can need: the
        // count word and the readable words left behind it.
        const std::int64_t left = std::max<std::int64_t>(
            0, std::min(block.m_nLength, block.m_nCapacity) - std::int64_t{block.m_nReadPos});
        std::vector<std::int32_t> words(static_cast<std::size_t>(left + 1));
        block.GetBinBlockData(words.data());
        break;
    }
    }
}

void RunAppend(InputReader& input, CUdpDataBlockEx& block, std::uint8_t kind) {
    const std::int32_t lengthBefore = block.m_nLength;
    bool ok = false;
    switch (kind) {
    case 0: ok = block.AppendLongData(input.Int32()); break;
    case 1: ok = block.AppendDoubleData(static_cast<double>(input.Int32())); break;
    case 2: {
        std::vector<char> text(input.Byte() + std::size_t{1}, 0);
        input.Bytes(text.data(), text.size() - 1);
        ok = block.AppendStringData(text.data());
        break;
    }
    case 3: {
        const std::int32_t count = input.Int16();
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max(count, 0)) + 1, 0xA5);
        ok = block.AppendArray(bytes.data(), count);
        break;
    }
    default: {
        const std::int32_t count = input.Int16() % 600;
        std::vector<std::int32_t> words(static_cast<std::size_t>(std::max(count, 0)) + 1, 3);
        words[0] = count;
        ok = block.AppendBinBlockData(words.data());
        break;
    }
    }
    if (ok) Check(block.m_nLength > lengthBefore && block.m_nLength <= block.m_nCapacity);
    else Check(block.m_nLength == lengthBefore);
}

void RunOperation(InputReader& input, CUdpDataBlockEx (&blocks)[3], Datagram& datagram) {
    const std::uint8_t op = input.Byte();
    CUdpDataBlockEx& block = blocks[(op >> 5) % 3];
    switch (op & 0x1F) {
    case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 7:
        RunGet(input, block, op & 0x07);
        break;
    case 8: case 9: case 10: case 11: case 12:
        if (block.m_nCapacity < kGrowthLimitWords) RunAppend(input, block, (op & 0x1F) - 8);
        break;
    case 13: block.ResetReadPos(); break;
    case 14: block.m_nReadPos = input.Int16(); break;
    case 15: block.ResetForReturn(); break;
    case 16: block.Clear(); break;
    case 17: {
        std::array<std::int32_t, talvex::kPacketRecordWords> record{};
        const std::int16_t start = input.Int16();
        block.GetPacketAt(start, record.data(), (op & 0x80) != 0);
        Check(record[0] == 0 || (record[0] >= 16 && record[0] <= talvex::kMaxPacketBytes && record[0] % 4 == 0));
        if (record[0] > 0)
            blocks[(op >> 5) % 3 == 0 ? 1 : 0].AddRawData(record.data() + 1, static_cast<std::int16_t>(record[0]));
        break;
    }
    case 18:
        ReadDatagram(input, datagram);
        block.AddRawData(datagram.words.data(), datagram.size);
        break;
    case 19: blocks[(op >> 5) % 3 == 2 ? 0 : 2] = block; break;
    case 20: { const CUdpDataBlockEx copy(block); CheckInvariants(copy); break; }
    case 21: if (block.m_nCapacity < kGrowthLimitWords) block.Grow(input.Int16()); break;
    case 22: if (block.m_nCapacity < kGrowthLimitWords) block.CheckBufferSize(input.Int16()); break;
    case 23: CheckRoundTrip(block); break;
    case 24: block.m_nLength = block.m_nCapacity; break;  // filled directly, as shared memory does
    default: RunGet(input, block, static_cast<std::uint8_t>(input.Byte() & 0x07)); break;
    }
    CheckInvariants(block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input(data, size);
    static Datagram datagram;

    // Phase 1: datagrams into a fresh block, a block made from the first one,
    // and a bound sender block.
    const int datagrams = input.Byte() % 16;
    ReadDatagram(input, datagram);
    CUdpDataBlockEx blocks[3] = {CUdpDataBlockEx(), CUdpDataBlockEx(datagram.words.data(), datagram.size),
                                 CUdpDataBlockEx(7)};
    blocks[2].m_nReferenceNumber = 1;
    blocks[2].AppendLongData(5);
    blocks[0].AddRawData(datagram.words.data(), datagram.size);
    for (int i = 1; i < datagrams && !input.Empty(); ++i) {
        ReadDatagram(input, datagram);
        for (CUdpDataBlockEx& block : blocks) block.AddRawData(datagram.words.data(), datagram.size);
    }
    // Phase 2: operations driven by the rest of the input.
    for (int steps = 0; steps < kMaxOperations && !input.Empty(); ++steps) RunOperation(input, blocks, datagram);
    for (const CUdpDataBlockEx& block : blocks) CheckRoundTrip(block);
    return 0;
}
