// Fuzz target for the dispatcher's per-datagram logic: a plain CRP_Caller and a
// CRP_CallerEx, both fresh for every input, are fed the same sequence of datagrams
// through the dispatcher seam. Datagrams are raw bytes, block packets with chosen
// header words, chunks with any counts, indexes and byte counts, or bursts of
// thousands of chunks that make the chunk stores wrap. Every datagram is handed over
// in a buffer of exactly its size, so a read past it is caught. Checked after each
// datagram: every answer is a well-formed packet sent to the datagram's sender, the
// chunk index, ledgers and reassembled blocks stay within their bounds, and, while
// every chunk so far was built here, a reassembled block holds exactly the words its
// chunks carried.
#include "fuzz_input.h"
#include "caller/DatagramSeam.h"
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/caller/RP_CallerEx.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace {

using fuzzinput::Check;
using fuzzinput::InputReader;

constexpr int kReceiveBytes = 2048;
constexpr std::int32_t kMaxChunkCountOfBurst = talvex::kChunkSlots + 200;
constexpr int kMaxDatagramsPerInput = 4096;
constexpr std::uint32_t kLoopback = 0x7F000001u;

// Word `word` of the data of chunk `index` of transfer `transfer`, for chunks built here.
std::int32_t ChunkWord(std::int32_t transfer, std::int64_t index, std::int64_t word) {
    const auto mix = static_cast<std::uint32_t>(transfer) * 0x9E3779B1u + static_cast<std::uint32_t>(index) * 40503u +
                     static_cast<std::uint32_t>(word);
    return static_cast<std::int32_t>(mix ^ (mix >> 15));
}

// Every answer is a packet of 0 or 16..1416 bytes in whole words, sent to the
// sender of the datagram being handled; every byte of it is readable.
class CheckingSink : public talvex::DatagramSink {
public:
    explicit CheckingSink(const CSockAddr& sender) : m_sender(sender) {}
    void OnSend(const std::int32_t* packet, int bytes, const CSockAddr& destination) override {
        Check(bytes == 0 || (bytes >= 16 && bytes <= talvex::kMaxPacketBytes && bytes % 4 == 0));
        Check(std::memcmp(&destination, &m_sender, sizeof destination) == 0);
        for (int i = 0; i < bytes / 4; ++i) m_checksum += static_cast<std::uint32_t>(packet[i]);   // reads every word
    }

private:
    const CSockAddr& m_sender;
    std::uint32_t m_checksum = 0;
};

// Replaces `block` by a new empty one, buffer included, so that no capacity
// carries over from one input to the next.
void Renew(CUdpDataBlockEx& block) {
    block.~CUdpDataBlockEx();
    new (&block) CUdpDataBlockEx();
}

// Serves every call and broadcast: reads every word a hook may read, then answers
// with `answerWords` words.
template <typename Caller>
class Serving : public Caller {
public:
    std::int32_t answerWords = 1;

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        // A block taken from one packet announces the whole call's length (any 16-bit
        // value, negative ones too); only the words inside the buffer may be read.
        const std::int32_t readable = std::clamp(block->m_nLength, 0, block->m_nCapacity);
        std::uint32_t sum = 0;
        for (std::int32_t i = 0; i < readable; ++i) sum += static_cast<std::uint32_t>(block->m_pData[i]);
        block->ResetForReturn();
        for (std::int32_t i = 0; i < answerWords; ++i) block->AppendLongData(static_cast<std::int32_t>(sum) + i);
        this->SendReturn(block);
    }
    void DoBroadCastFunction(CUdpDataBlockEx* block) override { DoRemoteFunction(block); }
};

class FuzzCallerEx : public Serving<CRP_CallerEx> {
public:
    bool onlyBuiltChunks = true;   // false once a chunk arrived whose data is not ChunkWord's

    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        if (block == &m_MultiCallBlock) CheckReassembled(*block, RP_MULTI_CALL);
        Serving::DoRemoteFunction(block);
    }
    bool SendReturnMulti(CUdpDataBlockEx* block) override {
        const bool completed = CRP_CallerEx::SendReturnMulti(block);
        if (completed) CheckReassembled(m_MultiReturnBlock, RP_RETURN);
        return completed;
    }
    // Forgets every chunk and reassembled block, as a new object would have none.
    void ForgetChunks() {
        m_mapChunks.clear();
        m_callLedger = talvex::ChunkLedger{};
        m_returnLedger = talvex::ChunkLedger{};
        m_nLastCallSlot = -1;
        m_nLastReturnSlot = -1;
        Renew(m_MultiCallBlock);
        Renew(m_MultiReturnBlock);
    }
    // Every part of the chunk bookkeeping stays within what the stores can hold.
    void CheckBounds() const {
        Check(m_mapChunks.size() <= 2u * talvex::kChunkSlots);
        for (const talvex::ChunkLedger* ledger : {&m_callLedger, &m_returnLedger}) {
            Check(ledger->transfers.size() <= static_cast<std::size_t>(talvex::kChunkSlots));
            Check(ledger->openedOrder.size() <= 2 * static_cast<std::size_t>(talvex::kChunkSlots) + 1);
        }
        for (const int slot : {m_nLastCallSlot, m_nLastReturnSlot}) Check(slot >= -1 && slot < talvex::kChunkSlots);
        for (const CUdpDataBlockEx* block : {&m_MultiCallBlock, &m_MultiReturnBlock})
            Check(block->m_nLength >= 0 && block->m_nLength <= block->m_nCapacity);
    }

private:
    // A reassembled block has its message type and, from built chunks, their words.
    void CheckReassembled(const CUdpDataBlockEx& block, std::int32_t type) const {
        Check(block.m_nType == type);
        const std::int32_t transfer = block.m_nReferenceNumber;
        for (std::int64_t w = 0; onlyBuiltChunks && w < block.m_nLength; ++w)
            Check(block.m_pData[w] == ChunkWord(transfer, w / talvex::kChunkWords, w % talvex::kChunkWords));
    }
};

// Reference numbers come from a small set, so that datagrams meet the state they aim at.
std::int32_t SmallReference(std::uint8_t choice) {
    static constexpr std::int32_t kReferences[] = {1, 2, 3, 4, 5, -1, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000u)};
    return kReferences[choice % 8];
}

// One datagram under construction: its words and its size in bytes.
struct Datagram {
    std::vector<std::int32_t> words = std::vector<std::int32_t>(kReceiveBytes / 4 + 4, 0);
    int size = 0;
};

void ReadRaw(InputReader& input, Datagram& datagram) {
    datagram.size = input.UInt16() % (kReceiveBytes + 8);
    std::fill(datagram.words.begin(), datagram.words.end(), 0);
    input.Bytes(datagram.words.data(), std::min(datagram.size, kReceiveBytes));
}

// A block packet: type, procedure, reference and positions chosen, data from the input.
void ReadBlockPacket(InputReader& input, Datagram& datagram) {
    std::fill(datagram.words.begin(), datagram.words.end(), 0);
    const std::uint8_t shape = input.Byte();
    const std::int32_t header[] = {shape % 14, input.Byte(), SmallReference(input.Byte()), input.Int32()};
    std::copy(std::begin(header), std::end(header), datagram.words.begin());
    const int dataWords = (shape & 0x80) ? input.UInt16() % 351 : input.Byte() % 8;
    input.Bytes(&datagram.words[4], static_cast<std::size_t>(dataWords) * 4);
    datagram.size = 16 + 4 * dataWords;
    if (shape & 0x40)
        datagram.size -= input.Byte() % 16;   // a cut datagram
}

// Builds chunk `index` of transfer `transfer` into `datagram`, with the header words
// given and `dataWords` words of ChunkWord data.
void BuildChunk(Datagram& datagram, std::int32_t type, std::int32_t transfer, std::int32_t count,
                std::int32_t index, std::int32_t byteCount, int dataWords, std::int32_t word3) {
    std::fill(datagram.words.begin(), datagram.words.end(), 0);
    const std::int32_t header[] = {type, 77, transfer, word3, transfer, count, index, byteCount};
    std::copy(std::begin(header), std::end(header), datagram.words.begin());
    dataWords = std::clamp(dataWords, 0, talvex::kMaxPacketDataWords - 4);
    for (int w = 0; w < dataWords; ++w) datagram.words[8 + w] = ChunkWord(transfer, index, w);
    datagram.size = 32 + 4 * dataWords;
}

std::int32_t PacketPositions(int dataWords) {
    const auto words = static_cast<std::uint32_t>(4 + dataWords);
    return static_cast<std::int32_t>(words | (words << 16));
}

// A chunk whose fields are each either consistent or taken from the input; true
// when its packet positions frame exactly the data it carries (otherwise the
// receiver reads words the datagram did not carry, and what it reassembles cannot
// be predicted here).
bool ReadChunk(InputReader& input, Datagram& datagram) {
    const std::uint8_t shape = input.Byte();
    const std::int32_t type = (shape & 1) ? RP_MULTI_RETURN : RP_MULTI_CALL;
    const std::int32_t transfer = SmallReference(input.Byte());
    const std::int32_t count = (shape & 2) ? input.Int32() : 1 + input.Byte() % 6;
    const std::int32_t index = (shape & 4) ? input.Int32() : input.Byte() % 7;
    const std::int32_t lastBytes = 4 * (input.UInt16() % (talvex::kChunkWords + 1));
    std::int32_t byteCount = index < count - 1 ? talvex::kChunkBytes : lastBytes;
    if (shape & 8) byteCount = input.Int32();
    int dataWords = byteCount >= 0 && byteCount <= talvex::kChunkBytes ? byteCount / 4 : talvex::kChunkWords;
    if (shape & 16) dataWords = input.UInt16() % (talvex::kChunkWords + 1);
    const std::int32_t word3 = (shape & 32) ? input.Int32() : PacketPositions(dataWords);
    BuildChunk(datagram, type, transfer, count, index, byteCount, dataWords, word3);
    return word3 == PacketPositions(dataWords);
}

// The callers live for the whole run (an extended caller is 40 MB, too costly to
// build per input); every input starts them from the same state.
class Harness {
public:
    Harness() : m_sink(m_sender), m_callerEx(std::make_unique<FuzzCallerEx>()) {
        talvex::DatagramSeam::InstallSink(m_caller, &m_sink);
        talvex::DatagramSeam::InstallSink(*m_callerEx, &m_sink);
    }

    void Reset() {
        m_hadLongBurst = false;
        m_callerEx->onlyBuiltChunks = true;
        for (CRP_Caller* caller : {static_cast<CRP_Caller*>(&m_caller), static_cast<CRP_Caller*>(m_callerEx.get())}) {
            Renew(caller->m_ReturnBlock);
            Renew(caller->m_CallBlock);
            Renew(caller->m_ReplyBlock);
            caller->m_BCastReturn.Clear();
            caller->m_bBroadcastCall = false;
            caller->m_addrLastSender = CSockAddr();
        }
        m_callerEx->ForgetChunks();
    }

    // Puts both callers into a state with a pending return, a call and a reply
    // block that can be pulled from, and possibly a collecting broadcast.
    void Prepare(InputReader& input) {
        const std::uint8_t flags = input.Byte();
        for (CRP_Caller* caller : {static_cast<CRP_Caller*>(&m_caller), static_cast<CRP_Caller*>(m_callerEx.get())}) {
            FillBlock(caller->m_CallBlock, SmallReference(flags), input.UInt16() % 2000);
            FillBlock(caller->m_ReplyBlock, SmallReference(flags >> 3), input.UInt16() % 2000);
            ArmReturn(*caller, input.Byte());
            caller->m_BCastReturn.m_nReferenceNumber = (flags & 0x40) ? SmallReference(flags >> 2) : 0;
        }
        m_callerEx->m_bMultiEnabled = (flags & 0x80) == 0;
        m_caller.answerWords = 1 + input.Byte() % 350;
        m_callerEx->answerWords = m_caller.answerWords;
    }

    void Run(InputReader& input) {
        for (int step = 0; step < kMaxDatagramsPerInput && !input.Empty(); ++step) {
            const std::uint8_t op = input.Byte();
            m_sender = CSockAddr(kLoopback, static_cast<std::uint16_t>(4000 + (op >> 4)));
            switch (op % 6) {
            case 0: ReadRaw(input, m_datagram); NoteUnbuiltChunk(); Feed(); break;
            case 1: ReadBlockPacket(input, m_datagram); NoteUnbuiltChunk(); Feed(); break;
            case 2: case 3:
                if (!ReadChunk(input, m_datagram)) m_callerEx->onlyBuiltChunks = false;
                Feed();
                break;
            case 4: Burst(input); break;
            default:
                ArmReturn(m_caller, input.Byte());
                ArmReturn(*m_callerEx, input.Byte());
                break;
            }
        }
    }

private:
    static void FillBlock(CUdpDataBlockEx& block, std::int32_t reference, int words) {
        block.Clear();
        block.m_nProcedure = 9;
        block.m_nReferenceNumber = reference;
        for (int i = 0; i < words; ++i) block.AppendLongData(i);
    }
    // As CallProcedure leaves it: an empty return block awaiting one reference number.
    static void ArmReturn(CRP_Caller& caller, std::uint8_t choice) {
        caller.m_ReturnBlock.Clear();
        caller.m_ReturnBlock.m_nReferenceNumber = (choice & 0x80) ? 0 : SmallReference(choice);
    }

    void NoteUnbuiltChunk() {
        const std::int32_t type = m_datagram.words[0];
        if (m_datagram.size >= 4 && (type == RP_MULTI_CALL || type == RP_MULTI_RETURN))
            m_callerEx->onlyBuiltChunks = false;
    }

    // Hands the datagram to both callers in a buffer of exactly its size (whole
    // words, and at least the header the dispatcher zero-fills for short datagrams).
    void Feed() {
        const int size = m_datagram.size;
        const auto words = static_cast<std::size_t>((std::max(size, 16) + 3) / 4);
        std::unique_ptr<std::int32_t[]> exact(new std::int32_t[words]);
        std::memcpy(exact.get(), m_datagram.words.data(), words * 4);
        talvex::DatagramSeam::Handle(m_caller, exact.get(), size, m_sender);
        talvex::DatagramSeam::Handle(*m_callerEx, exact.get(), size, m_sender);
        m_callerEx->CheckBounds();
        // A return's first packet gives the block its total, a 16-bit value that may be negative.
        Check(m_caller.m_ReturnBlock.m_nLength >= -32768 && m_caller.m_ReturnBlock.m_nLength <= talvex::kMaxFramedWords);
    }

    // Many well-formed chunks in a row: one long transfer, or many short ones,
    // enough to wrap the chunk store and reuse its slots.
    void Burst(InputReader& input) {
        const std::uint8_t shape = input.Byte();
        const std::int32_t type = (shape & 1) ? RP_MULTI_RETURN : RP_MULTI_CALL;
        // Long bursts (enough to wrap the store) take about a second: one per input at most.
        const bool longBurst = (shape & 0x70) == 0x70 && !m_hadLongBurst;
        m_hadLongBurst = m_hadLongBurst || longBurst;
        const int limit = longBurst ? kMaxChunkCountOfBurst : 300;
        const std::int32_t chunks = 1 + (input.UInt16() % limit);
        const std::uint32_t firstTransfer = input.UInt32();
        const bool oneTransfer = (shape & 2) != 0;
        const int skipEvery = 2 + input.Byte();   // chunks of the long transfer left out now and then
        for (std::int32_t i = 0; i < chunks; ++i) {
            if (oneTransfer && (shape & 4) && i % skipEvery == 0) continue;
            // One transfer of `chunks` chunks, its last one short; or one-chunk transfers (two-chunk
            // ones with shape bit 8, which never complete) of consecutive reference numbers.
            const auto transfer = static_cast<std::int32_t>(oneTransfer ? firstTransfer : firstTransfer + i);
            const std::int32_t count = oneTransfer ? chunks : (shape & 8) ? 2 : 1;
            const int dataWords = oneTransfer && i == chunks - 1 ? 1 + i % talvex::kChunkWords : talvex::kChunkWords;
            BuildChunk(m_datagram, type, transfer, count, oneTransfer ? i : 0, dataWords * 4, dataWords,
                       PacketPositions(dataWords));
            Feed();
        }
    }

    CSockAddr m_sender;
    bool m_hadLongBurst = false;
    CheckingSink m_sink;
    Serving<CRP_Caller> m_caller;
    std::unique_ptr<FuzzCallerEx> m_callerEx;
    Datagram m_datagram;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    InputReader input(data, size);
    static Harness harness;
    harness.Reset();
    harness.Prepare(input);
    harness.Run(input);
    return 0;
}
