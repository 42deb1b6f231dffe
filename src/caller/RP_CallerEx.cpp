// CRP_CallerEx as an object: construction, destruction, assignment, the switches for
// chunked sending, and CallProcedure, which sends a long block as chunks
// (ChunkedCallSender). Receiving chunks: ChunkReceiving.cpp; answers: ChunkedReturnSending.cpp.
#include "talvex05u/caller/RP_CallerEx.h"

#include "caller/AnswerSender.h"
#include "caller/ChunkedCallSender.h"
#include "caller/CounterCells.h"
#include "caller/PendingCalls.h"
#include "talvex05u/platform/Event.h"

#include <algorithm>

#include <cstring>
#include <functional>

namespace {

constexpr std::size_t kStoreBytes = static_cast<std::size_t>(talvex::kChunkSlots) * static_cast<std::size_t>(talvex::kChunkSlotBytes);

// The same byte of `to` as `data` is of `from`, or nullptr when `data` lies outside `from`.
unsigned char* SameSlotIn(const unsigned char* data, const unsigned char* from, const unsigned char* to) {
    const std::less<const unsigned char*> before;
    if (data == nullptr || from == nullptr || to == nullptr || before(data, from) || !before(data, from + kStoreBytes)) {
        return nullptr;
    }
    return const_cast<unsigned char*>(to) + (data - from);
}

}  // namespace

CRP_CallerEx::CRP_CallerEx() : CRP_Caller() { InitExtendedState(); }

CRP_CallerEx::CRP_CallerEx(unsigned short myPort) : CRP_Caller(myPort) { InitExtendedState(); }

void CRP_CallerEx::InitExtendedState() {
    m_nLastCallSlot = -1;
    m_nLastReturnSlot = -1;
    m_bMultiEnabled = true;
    m_pCounters->SetKind(talvex::CallerKind::kExtended);
    // Left unset by the protocol; 0 means "no target": a chunked call then goes to the
    // caller's peer.
    m_nMultiPort = 0;
    m_nMultiAddress = 0;
    m_pAnswerSender = std::make_unique<talvex::AnswerSender>(*this);
    m_hMultiDoneEvent = talvex::CreateEvent(true, false);
    m_hMultiBreakEvent = talvex::CreateEvent(true, false);
    talvex::ResetEvent(m_hMultiDoneEvent);
    talvex::ResetEvent(m_hMultiBreakEvent);

    // The shared-memory channel starts closed.
    m_bSharedMemory = false;
    m_pSharedCall = nullptr;
    m_pSharedReturn = nullptr;
    m_pTelegramThread = nullptr;
    m_nPeerThreadId = 0;
    m_pCallRegion = nullptr;
    m_pReturnRegion = nullptr;
    m_nSharedSize = 0;
    m_strSharedName.Empty();
    m_nSharedKey = 0;
    m_hSharedLock = nullptr;
    m_bSharedLockOwner = false;
    m_hTelegramSignal = nullptr;
}

CRP_CallerEx::~CRP_CallerEx() {
    // No hook may run on a half-destroyed object, and no telegram thread may outlive it.
    StopDispatchThread();
    UnInitSharedMemory();   // safe on a closed side; releases what a failed InitSharedMemory left
    m_mapChunks.clear();
    talvex::CloseEvent(m_hMultiDoneEvent);
    talvex::CloseEvent(m_hMultiBreakEvent);
    m_hMultiDoneEvent = nullptr;
    m_hMultiBreakEvent = nullptr;
}

CRP_CallerEx& CRP_CallerEx::operator=(const CRP_CallerEx& other) {
    if (this == &other) return *this;
    CRP_Caller::operator=(other);
    m_MultiCallBlock = other.m_MultiCallBlock;
    {
        std::scoped_lock lock(m_callLock, other.m_callLock);
        m_MultiReturnBlock = other.m_MultiReturnBlock;
    }
    m_bMultiEnabled = other.m_bMultiEnabled.load();
    m_bFailOnLostReturnChunks = other.m_bFailOnLostReturnChunks.load();
    m_nChunksInFlight = other.m_nChunksInFlight.load();
    m_nMultiPort = other.m_nMultiPort;
    m_nMultiAddress = other.m_nMultiAddress;
    std::memcpy(m_abyChunkStaging, other.m_abyChunkStaging, sizeof m_abyChunkStaging);
    // The stores first: the copied index points into them.
    m_abyCallChunkStore = other.m_abyCallChunkStore;
    m_abyReturnChunkStore = other.m_abyReturnChunkStore;
    CopyChunkIndexFrom(other);
    m_nLastCallSlot = other.m_nLastCallSlot;
    m_nLastReturnSlot = other.m_nLastReturnSlot;
    m_callLedger = other.m_callLedger;
    m_returnLedger = other.m_returnLedger;
    m_ReturnChunkBlock = other.m_ReturnChunkBlock;
    m_CallChunkBlock = other.m_CallChunkBlock;
    // The shared-memory channel is not copied: like the base part's events, sockets
    // and threads, the target keeps its own, so no two objects ever close one channel.
    return *this;
}

void CRP_CallerEx::CopyChunkIndexFrom(const CRP_CallerEx& other) {
    // Entries keep their order; their data pointers are moved to the same slots of
    // this object's stores, so nothing refers to the source once it is gone.
    m_mapChunks.clear();
    for (const auto& [key, entry] : other.m_mapChunks) {
        unsigned char* data = SameSlotIn(entry.m_pData, other.m_abyCallChunkStore.Peek(), m_abyCallChunkStore.Peek());
        if (data == nullptr) {
            data = SameSlotIn(entry.m_pData, other.m_abyReturnChunkStore.Peek(), m_abyReturnChunkStore.Peek());
        }
        m_mapChunks.emplace_hint(m_mapChunks.end(), key, talvex::ChunkEntry{entry.m_nByteCount, data, entry.m_nSender});
    }
}

namespace talvex {

ChunkStore& ChunkStore::operator=(const ChunkStore& other) {
    if (this == &other) return *this;
    if (other.m_bytes) std::memcpy(data(), other.m_bytes.get(), kBytes);
    return *this;
}

unsigned char* ChunkStore::data() {
    // Not written here: a slot's bytes are always written before they are read, and the
    // system maps the pages of so large an allocation only as they are first touched.
    if (!m_bytes) m_bytes = std::make_unique_for_overwrite<unsigned char[]>(kBytes);
    return m_bytes.get();
}

}  // namespace talvex

void CRP_CallerEx::EnableMulti() { m_bMultiEnabled = true; }

void CRP_CallerEx::DisableMulti() { m_bMultiEnabled = false; }

void CRP_CallerEx::SetMultiTarget(unsigned short port, std::uint32_t hostAddress) {
    m_nMultiPort = port;
    m_nMultiAddress = hostAddress;
}

void CRP_CallerEx::SetChunksInFlight(std::int32_t count) {
    m_nChunksInFlight = std::clamp(count, std::int32_t{1}, talvex::kMaxChunksInFlight);
}

std::int32_t CRP_CallerEx::GetChunksInFlight() const { return m_nChunksInFlight.load(); }

void CRP_CallerEx::DoRemoteFunction(CUdpDataBlockEx* /*block*/) {}

bool CRP_CallerEx::CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout) {
    if (m_bSharedMemory) return SharedCallProcedure(block, timeout);
    if (block == nullptr) return false;
    {
        std::scoped_lock lock(m_callLock);
        m_MultiReturnBlock.Clear();
    }
    // One packet: the base call, whose call also takes an answer that comes as chunks.
    if (static_cast<std::uint32_t>(block->m_nLength) <= static_cast<std::uint32_t>(talvex::kMaxPacketDataWords)) {
        return CRP_Caller::CallProcedure(block, timeout);
    }
    if (!m_bMultiEnabled) return false;
    {
        std::scoped_lock lock(m_callLock);
        if (m_pCalls->Stopped()) return false;   // a call begun while the caller stops ends at once
    }
    // A block whose words do not all lie in its buffer cannot be cut; one of more
    // chunks than the receiver has slots could never be put together again.
    const std::int64_t chunkCount = ChunkCountOf(block->m_nLength);
    if (block->m_nLength > block->m_nCapacity || chunkCount > talvex::kChunkSlots) return false;
    // The chunks go to the multi target, which becomes the caller's peer; without one,
    // to the peer the caller already has.
    if (m_nMultiPort != 0) SetRemoteSocket(m_nMultiPort, m_nMultiAddress);
    CSockAddr peer;
    {
        std::scoped_lock lock(m_callLock);
        peer = m_addrRemote;
    }
    if (peer.sin_port == 0) return NoPeer(block);
    const talvex::WakerLease waker(*m_pCalls, m_callLock);
    if (waker.Get() == nullptr) return false;
    m_pCounters->Add(talvex::Counter::kCalls);
    talvex::ChunkedCallSender sender(*this, *block, static_cast<std::int32_t>(chunkCount), peer, waker.Get(), timeout);
    return sender.Run(*block);
}

std::int64_t CRP_CallerEx::ChunkCountOf(std::int32_t words) {
    if (words <= 0) return 0;
    return (static_cast<std::int64_t>(words) + talvex::kChunkWords - 1) / talvex::kChunkWords;
}

void CRP_CallerEx::BuildChunk(const CUdpDataBlockEx& block, std::int32_t type, std::int32_t transferReference,
                              std::int32_t chunkCount, std::int32_t index, unsigned char* staging,
                              CUdpDataBlockEx& chunk) {
    const std::int64_t offset = static_cast<std::int64_t>(index) * talvex::kChunkBytes;
    const std::int64_t left = static_cast<std::int64_t>(block.m_nLength) * 4 - offset;
    const auto byteCount = static_cast<std::int32_t>(left < talvex::kChunkBytes ? left : talvex::kChunkBytes);
    std::memset(staging, 0, talvex::kChunkBytes);
    std::memcpy(staging, reinterpret_cast<const unsigned char*>(block.m_pData) + offset,
                static_cast<std::size_t>(byteCount));

    chunk.Clear();
    chunk.m_nType = type;
    chunk.m_nProcedure = block.m_nProcedure;
    chunk.m_nReferenceNumber = block.m_nReferenceNumber;
    chunk.AppendLongData(transferReference);
    chunk.AppendLongData(chunkCount);
    chunk.AppendLongData(index);
    chunk.AppendLongData(byteCount);
    // The chunk bytes go in as whole words, straight into the buffer (a chunk block
    // never needs more than its initial 512 words).
    const std::int32_t words = byteCount / 4;
    if (chunk.CheckBufferSize(words)) {
        std::memcpy(chunk.m_pData + chunk.m_nLength, staging, static_cast<std::size_t>(words) * 4);
        chunk.m_nLength += words;
    }
}
