// Tests of cutting data blocks into packets and reassembling them: header
// layout, packet cursor rules, binding of a fresh block, refusal of packets
// that would write outside the block, and whole blocks carried over loopback.
#include "talvex05u/datablock/UdpDataBlockEx.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Record = std::array<std::int32_t, kPacketRecordWords>;

// The datagram that a record describes: the bytes from record word 1 on.
struct Packet {
    const std::int32_t* words;
    std::int16_t size;
};

Packet PacketOf(const Record& record)
{
    return Packet{record.data() + 1, static_cast<std::int16_t>(record[0])};
}

std::uint32_t PositionsWord(std::int32_t end, std::int32_t total)
{
    return static_cast<std::uint32_t>(end) | (static_cast<std::uint32_t>(total) << 16);
}

CUdpDataBlockEx BlockOfWords(std::int32_t words, std::int32_t procedure = 12)
{
    CUdpDataBlockEx block(procedure);
    block.m_nReferenceNumber = 4711;
    for (std::int32_t i = 0; i < words; ++i)
        block.AppendLongData(i * 3 + 1);
    return block;
}

// Builds a raw datagram: header words, then the data words.
std::vector<std::int32_t> RawPacket(std::int32_t type, std::int32_t procedure, std::int32_t reference,
                                    std::int32_t end, std::int32_t total, std::int32_t dataWords)
{
    std::vector<std::int32_t> words = {type, procedure, reference,
                                       static_cast<std::int32_t>((static_cast<std::uint32_t>(end) & 0xFFFFu) |
                                                                 (static_cast<std::uint32_t>(total) << 16))};
    for (std::int32_t i = 0; i < dataWords; ++i)
        words.push_back(1000 + i);
    return words;
}

std::int16_t SizeOf(const std::vector<std::int32_t>& words)
{
    return static_cast<std::int16_t>(4 * words.size());
}

void ExpectSameBlock(const CUdpDataBlockEx& got, const CUdpDataBlockEx& sent)
{
    EXPECT_EQ(got.m_nType, sent.m_nType);
    EXPECT_EQ(got.m_nProcedure, sent.m_nProcedure);
    EXPECT_EQ(got.m_nReferenceNumber, sent.m_nReferenceNumber);
    ASSERT_EQ(got.m_nLength, sent.m_nLength);
    EXPECT_EQ(got.m_nPacketPos, got.m_nLength);
    EXPECT_EQ(std::memcmp(got.m_pData, sent.m_pData, sizeof(std::int32_t) * sent.m_nLength), 0);
}

TEST(PacketFraming, EmptyBlockTravelsAsOneHeaderOnlyPacket)
{
    CUdpDataBlockEx sent(9);
    sent.m_nReferenceNumber = 3;
    Record record{};
    sent.GetPacketAt(0, record.data(), true);
    ASSERT_EQ(record[0], 16);
    EXPECT_EQ(record[1], 1);
    EXPECT_EQ(record[2], 9);
    EXPECT_EQ(record[3], 3);
    EXPECT_EQ(record[4], 0);

    CUdpDataBlockEx received;
    const Packet packet = PacketOf(record);
    EXPECT_EQ(received.AddRawData(packet.words, packet.size), 1);
    EXPECT_EQ(received.m_nProcedure, 9);
    EXPECT_EQ(received.m_nPacketPos, 0);
    EXPECT_EQ(received.m_nLength, 0);
}

TEST(PacketFraming, FullPacketThenHeaderOnlyPacket)
{
    CUdpDataBlockEx block = BlockOfWords(350);
    Record record{};
    block.GetPacketAt(0, record.data(), true);
    EXPECT_EQ(record[0], kMaxPacketBytes);
    EXPECT_EQ(static_cast<std::uint32_t>(record[4]), PositionsWord(350, 350));
    EXPECT_EQ(record[5 + 349], 349 * 3 + 1);
    EXPECT_EQ(block.m_nPacketPos, 350);
    block.GetPacketAt(350, record.data(), true);
    EXPECT_EQ(record[0], 16);
    EXPECT_EQ(static_cast<std::uint32_t>(record[4]), PositionsWord(350, 350));
}

TEST(PacketFraming, SevenHundredWordsInTwoPackets)
{
    CUdpDataBlockEx block = BlockOfWords(700);
    Record first{};
    Record second{};
    block.GetPacketAt(0, first.data(), true);
    block.GetPacketAt(350, second.data(), true);
    EXPECT_EQ(static_cast<std::uint32_t>(first[4]), PositionsWord(350, 700));
    EXPECT_EQ(static_cast<std::uint32_t>(second[4]), PositionsWord(700, 700));
    EXPECT_EQ(second[5], 350 * 3 + 1);

    CUdpDataBlockEx received;
    EXPECT_EQ(received.AddRawData(PacketOf(first).words, PacketOf(first).size), 1);
    EXPECT_EQ(received.m_nPacketPos, 350);
    EXPECT_EQ(received.AddRawData(PacketOf(second).words, PacketOf(second).size), 1);
    ExpectSameBlock(received, block);
}

TEST(PacketFraming, PacketsOnlyAtOrBehindThePacketCursor)
{
    CUdpDataBlockEx block = BlockOfWords(700);
    Record record{};
    block.GetPacketAt(0, record.data(), true);
    ASSERT_EQ(record[0], kMaxPacketBytes);
    record.fill(-7);
    block.GetPacketAt(0, record.data(), true);
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(record[1], -7);  // nothing but word 0 written
    block.GetPacketAt(701, record.data(), true);
    EXPECT_EQ(record[0], 0);
    block.GetPacketAt(-1, record.data(), true);
    EXPECT_EQ(record[0], 0);
    EXPECT_EQ(block.m_nPacketPos, 350);
    block.GetPacketAt(400, record.data(), false);  // behind the cursor: allowed, no advance
    EXPECT_EQ(record[0], 16 + 4 * 300);
    EXPECT_EQ(block.m_nPacketPos, 350);
}

TEST(PacketFraming, BlocksBeyond32767WordsMakeNoPacket)
{
    CUdpDataBlockEx block;
    ASSERT_TRUE(block.CheckBufferSize(kMaxFramedWords + 10));
    block.m_nLength = kMaxFramedWords + 1;
    Record record{};
    block.GetPacketAt(0, record.data(), true);
    EXPECT_EQ(record[0], 0);
    block.m_nLength = kMaxFramedWords;
    block.GetPacketAt(0, record.data(), true);
    EXPECT_EQ(record[0], kMaxPacketBytes);
}

TEST(PacketFraming, TooShortOrNegativeSizesLeaveAFreshBlockFresh)
{
    const auto packet = RawPacket(1, 5, 6, 0, 0, 0);
    for (std::int16_t size : {std::int16_t{0}, std::int16_t{12}, std::int16_t{15}, std::int16_t{-16}}) {
        CUdpDataBlockEx block;
        EXPECT_EQ(block.AddRawData(packet.data(), size), -1) << size;
        EXPECT_EQ(block.m_nProcedure, kNoProcedure) << size;
        EXPECT_EQ(block.m_nLength, 0) << size;
    }
    CUdpDataBlockEx block;
    EXPECT_EQ(block.AddRawData(nullptr, 16), -1);
}

TEST(PacketFraming, SizeThatIsNoMultipleOfFourLosesItsLastBytes)
{
    const auto packet = RawPacket(2, 5, 6, 1, 1, 2);  // 24 bytes of which 21 are given
    CUdpDataBlockEx block;
    EXPECT_EQ(block.AddRawData(packet.data(), 21), 1);
    EXPECT_EQ(block.m_nPacketPos, 1);
    EXPECT_EQ(block.m_nLength, 1);
    EXPECT_EQ(block.GetLongData(), 1000);
}

TEST(PacketFraming, OutOfOrderPacketBindsAFreshBlock)
{
    CUdpDataBlockEx sent = BlockOfWords(700);
    Record first{};
    Record second{};
    sent.GetPacketAt(0, first.data(), true);
    sent.GetPacketAt(350, second.data(), true);

    CUdpDataBlockEx received;
    EXPECT_EQ(received.AddRawData(PacketOf(second).words, PacketOf(second).size), -1);
    EXPECT_EQ(received.m_nProcedure, sent.m_nProcedure);
    EXPECT_EQ(received.m_nType, sent.m_nType);
    EXPECT_EQ(received.m_nReferenceNumber, sent.m_nReferenceNumber);
    EXPECT_EQ(received.m_nLength, 700);
    EXPECT_EQ(received.m_nPacketPos, 0);

    // Bound now: a packet of another call is refused, the first one accepted.
    auto foreign = RawPacket(sent.m_nType, sent.m_nProcedure, sent.m_nReferenceNumber + 1, 350, 700, 350);
    EXPECT_EQ(received.AddRawData(foreign.data(), SizeOf(foreign)), -1);
    EXPECT_EQ(received.AddRawData(PacketOf(first).words, PacketOf(first).size), 1);
    EXPECT_EQ(received.AddRawData(PacketOf(second).words, PacketOf(second).size), 1);
    ExpectSameBlock(received, sent);
}

TEST(PacketFraming, RepeatedPacketsAreRefusedAndChangeNothing)
{
    CUdpDataBlockEx sent = BlockOfWords(400);
    Record first{};
    sent.GetPacketAt(0, first.data(), true);
    CUdpDataBlockEx received;
    ASSERT_EQ(received.AddRawData(PacketOf(first).words, PacketOf(first).size), 1);
    const std::vector<std::int32_t> before(received.m_pData, received.m_pData + received.m_nCapacity);
    EXPECT_EQ(received.AddRawData(PacketOf(first).words, PacketOf(first).size), -1);
    EXPECT_EQ(received.m_nPacketPos, 350);
    EXPECT_EQ(std::vector<std::int32_t>(received.m_pData, received.m_pData + received.m_nCapacity), before);

    // A header-only packet at the receive position is accepted again and again.
    const auto empty = RawPacket(sent.m_nType, sent.m_nProcedure, sent.m_nReferenceNumber, 350, 400, 0);
    EXPECT_EQ(received.AddRawData(empty.data(), SizeOf(empty)), 1);
    EXPECT_EQ(received.AddRawData(empty.data(), SizeOf(empty)), 1);
    EXPECT_EQ(received.m_nPacketPos, 350);
}

TEST(PacketFraming, LargerAnnouncedTotalGivesZero)
{
    CUdpDataBlockEx received;
    const auto first = RawPacket(2, 5, 6, 3, 10, 3);
    ASSERT_EQ(received.AddRawData(first.data(), SizeOf(first)), 1);
    const auto larger = RawPacket(2, 5, 6, 5, 20, 2);
    EXPECT_EQ(received.AddRawData(larger.data(), SizeOf(larger)), 0);
    EXPECT_EQ(received.m_nPacketPos, 5);
    EXPECT_EQ(received.m_nLength, 10);
}

TEST(PacketFraming, PacketsThatWouldWriteOutsideTheBlockAreRefused)
{
    struct Case { const char* name; std::int32_t end; std::int32_t total; std::int32_t dataWords; };
    const Case cases[] = {
        {"end beyond the total", 8, 4, 8},
        {"end beyond the total, large", 32767, 100, 8000},
        {"negative total", 0, -5, 0},
        {"count makes the start negative", 3, 100, 8},
        {"negative end", -8, 100, 0},
        {"end wraps past 32767", -32768, -32768, 0},
    };
    for (const Case& c : cases) {
        CUdpDataBlockEx block;
        const auto packet = RawPacket(2, 5, 6, c.end, c.total, c.dataWords);
        EXPECT_EQ(block.AddRawData(packet.data(), SizeOf(packet)), -1) << c.name;
        EXPECT_EQ(block.m_nPacketPos, 0) << c.name;
        EXPECT_EQ(block.m_nProcedure, 5) << c.name;  // still bound to the packet's call
        EXPECT_EQ(block.m_nCapacity, 512) << c.name;
    }
}

TEST(PacketFraming, RefusedFirstPacketWithLargeTotalStaysSafe)
{
    // A fresh block bound by an out-of-order packet announcing 30000 words: its
    // length lies far beyond its buffer until packets arrive.
    CUdpDataBlockEx block;
    const auto later = RawPacket(2, 5, 6, 700, 30000, 350);
    ASSERT_EQ(block.AddRawData(later.data(), SizeOf(later)), -1);
    ASSERT_EQ(block.m_nLength, 30000);
    Record record{};
    block.GetPacketAt(0, record.data(), false);
    EXPECT_EQ(record[0], kMaxPacketBytes);
    block.GetPacketAt(700, record.data(), false);
    EXPECT_EQ(record[0], 0);  // would read past the buffer
    EXPECT_TRUE(block.AppendLongData(1));  // grows past the announced length
    EXPECT_GT(block.m_nCapacity, 30001);
    EXPECT_EQ(block.m_pData[30000], 1);

    CUdpDataBlockEx other;
    ASSERT_EQ(other.AddRawData(later.data(), SizeOf(later)), -1);
    const auto first = RawPacket(2, 5, 6, 350, 30000, 350);
    EXPECT_EQ(other.AddRawData(first.data(), SizeOf(first)), 1);
    EXPECT_GT(other.m_nCapacity, 30000);
    EXPECT_EQ(other.m_pData[349], 1349);
}

TEST(PacketFraming, ConstructorFromPacketSizesItsBuffer)
{
    struct Case { std::int16_t size; std::int32_t capacity; std::int32_t type; };
    const auto packet = RawPacket(2, 5, 6, 350, 350, 350);
    for (const Case& c : {Case{kMaxPacketBytes, kMaxPacketBytes, 2}, Case{100, 512, 5},
                          Case{-3, 512, -1}, Case{8, 512, -1}}) {
        CUdpDataBlockEx block(packet.data(), c.size);
        EXPECT_EQ(block.m_nCapacity, c.capacity) << c.size;
        EXPECT_EQ(block.m_nReadPos, 0);
        if (c.type == 2) {
            EXPECT_EQ(block.m_nPacketPos, 350);
            EXPECT_EQ(block.GetLongData(), 1000);
        }
        if (c.type == -1)
            EXPECT_EQ(block.m_nProcedure, kNoProcedure) << c.size;
        else
            EXPECT_EQ(block.m_nProcedure, 5) << c.size;
    }
}

// Appends a random mix of values; returns the number of values.
void FillRandomly(CUdpDataBlockEx& block, std::mt19937& random, int values)
{
    std::uniform_int_distribution<int> kind(0, 5);
    for (int i = 0; i < values; ++i) {
        switch (kind(random)) {
        case 0: block.AppendLongData(static_cast<std::int32_t>(random())); break;
        case 1: block.AppendDoubleData(static_cast<double>(random()) / 7.0); break;
        case 2: block.AppendUInt64Data((std::uint64_t{random()} << 32) | random()); break;
        case 3: block.AppendStringData(std::string(random() % 40, 'a' + static_cast<char>(random() % 26)).c_str()); break;
        case 4: { std::vector<unsigned char> bytes(random() % 64, 0x5A); block.AppendArray(bytes.data(), static_cast<std::int32_t>(bytes.size())); break; }
        default: { std::vector<std::int32_t> bin(1 + random() % 30, 17); bin[0] = static_cast<std::int32_t>(bin.size() - 1); block.AppendBinBlockData(bin.data()); break; }
        }
    }
}

TEST(PacketFraming, RandomBlocksSurviveCuttingAndReassembly)
{
    std::mt19937 random(20240601);
    Record record{};
    for (int round = 0; round < 200; ++round) {
        CUdpDataBlockEx sent(static_cast<std::int32_t>(random() % 1000));
        sent.m_nReferenceNumber = static_cast<std::int32_t>(random());
        FillRandomly(sent, random, static_cast<int>(random() % 900));
        ASSERT_LE(sent.m_nLength, kMaxFramedWords);

        sent.GetPacketAt(0, record.data(), true);
        ASSERT_GT(record[0], 0);
        CUdpDataBlockEx received(PacketOf(record).words, PacketOf(record).size);
        int packets = 1;
        while (received.m_nPacketPos < received.m_nLength && packets < 200) {
            sent.GetPacketAt(received.m_nPacketPos, record.data(), true);
            ASSERT_EQ(received.AddRawData(PacketOf(record).words, PacketOf(record).size), 1);
            ++packets;
        }
        EXPECT_EQ(packets, sent.m_nLength == 0 ? 1 : (sent.m_nLength + 349) / 350);
        ExpectSameBlock(received, sent);
        CUdpDataBlockEx copy;
        copy = received;
        ExpectSameBlock(copy, sent);
    }
}

// A UDP socket bound to an ephemeral loopback port, closed on destruction.
class LoopbackSocket {
public:
    LoopbackSocket() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof m_address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&m_address), &length);
    }
    ~LoopbackSocket() { close(m_fd); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    bool Valid() const { return m_fd >= 0 && m_address.sin_port != 0; }
    const sockaddr_in& Address() const { return m_address; }
    void SendTo(const void* bytes, std::size_t size, const sockaddr_in& to) const
    {
        sendto(m_fd, bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // Receives one datagram within `timeoutMs`; its size, or -1.
    int Receive(void* buffer, std::size_t size, int timeoutMs, sockaddr_in* from = nullptr) const
    {
        pollfd waiter{m_fd, POLLIN, 0};
        if (poll(&waiter, 1, timeoutMs) != 1)
            return -1;
        socklen_t length = sizeof(sockaddr_in);
        sockaddr_in ignored{};
        return static_cast<int>(recvfrom(m_fd, buffer, size, 0,
                                         reinterpret_cast<sockaddr*>(from ? from : &ignored), &length));
    }

private:
    int m_fd;
    sockaddr_in m_address{};
};

TEST(PacketFramingOverLoopback, ReceiverPullsABlockPacketByPacket)
{
    // The sender thread answers each request (one word: the receive position)
    // with the packet that starts there, as a peer serves a long return.
    LoopbackSocket senderSocket;
    LoopbackSocket receiverSocket;
    ASSERT_TRUE(senderSocket.Valid() && receiverSocket.Valid());
    std::mt19937 random(7);
    CUdpDataBlockEx sent(33);
    sent.m_nReferenceNumber = 1234;
    FillRandomly(sent, random, 3000);
    ASSERT_GT(sent.m_nLength, 3 * 350);
    ASSERT_LE(sent.m_nLength, kMaxFramedWords);

    std::thread sender([&] {
        Record record{};
        sent.GetPacketAt(0, record.data(), true);
        senderSocket.SendTo(record.data() + 1, static_cast<std::size_t>(record[0]), receiverSocket.Address());
        for (int served = 0; served < 200; ++served) {
            std::int32_t position = -1;
            if (senderSocket.Receive(&position, sizeof position, 2000) != sizeof position || position < 0)
                return;  // a negative position ends the exchange
            sent.GetPacketAt(static_cast<std::int16_t>(position), record.data(), true);
            if (record[0] > 0)
                senderSocket.SendTo(record.data() + 1, static_cast<std::size_t>(record[0]), receiverSocket.Address());
        }
    });

    std::array<std::int32_t, kMaxPacketBytes / 4> datagram{};
    CUdpDataBlockEx received;
    int accepted = 0;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int size = receiverSocket.Receive(datagram.data(), sizeof datagram, 2000);
        if (size < 0)
            break;
        if (received.AddRawData(datagram.data(), static_cast<std::int16_t>(size)) >= 0)
            ++accepted;
        if (received.m_nPacketPos >= received.m_nLength)
            break;
        const std::int32_t position = received.m_nPacketPos;
        receiverSocket.SendTo(&position, sizeof position, senderSocket.Address());
    }
    const std::int32_t stop = -1;
    receiverSocket.SendTo(&stop, sizeof stop, senderSocket.Address());
    sender.join();
    EXPECT_EQ(accepted, (sent.m_nLength + 349) / 350);
    ExpectSameBlock(received, sent);
}

}  // namespace
