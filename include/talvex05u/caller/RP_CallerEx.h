#pragma once
// CRP_CallerEx: the caller for calls and answers of any length. Blocks of more than
// 350 words travel as numbered chunks and are put together again on the other side;
// between two processes of one computer a shared-memory channel can carry the calls
// instead of UDP. Its two chunk stores (20 MB each) are made on the heap when the first
// chunk of their direction arrives, so the object itself may live anywhere, the stack too.
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/shmem/MemPrimitives.h"
#include <array>
#include <cstdint>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

// Thread messages of the shared-memory channel.
constexpr std::uint32_t WM_RP_TELEGRAM = 1148;
constexpr std::uint32_t WM_RP_TELEGRAM_QUIT = 1149;

namespace talvex {
class ChunkedCallSender;
class AnswerSender;
// Chunk geometry.
constexpr std::int32_t kChunkWords = 346;
constexpr std::int32_t kChunkBytes = 1384;
constexpr std::int32_t kChunkSlots = 10000;
constexpr std::int32_t kChunkSlotBytes = 2000;
constexpr std::int32_t kChunkTries = 3;
// Chunk calls a chunked call keeps outstanding at most, and by default. The default
// sends one chunk at a time, each answered before the next, exactly as every peer of
// the protocol sends and expects them; SetChunksInFlight(8) moves a long call about
// twice as fast on loopback. The bound keeps a burst far below the peer's 512 KiB
// receive buffer (a chunk takes about 2.3 KB of it).
constexpr std::int32_t kMaxChunksInFlight = 64;
constexpr std::int32_t kDefaultChunksInFlight = 1;

// Who sent a chunk: its IPv4 address and UDP port as one number. Transfer references
// are unique only within the sending process, so a transfer is known by its sender and
// its transfer reference together.
using ChunkSender = std::uint64_t;

// One entry of the chunk index: the chunk's byte count, the store slot holding its
// bytes, and the sender of its transfer.
struct ChunkEntry {
    std::int32_t m_nByteCount;
    unsigned char* m_pData;      // nullptr once copied into a reassembled block
    ChunkSender m_nSender = 0;
};
// Key of the chunk index: (chunk index, transfer reference), compared in that order.
using ChunkKey = std::pair<std::int32_t, std::int32_t>;

// One transfer: who sent it and the reference it gave it.
struct TransferKey {
    ChunkSender sender = 0;
    std::int32_t reference = 0;
    bool operator==(const TransferKey&) const = default;
};
struct TransferKeyHash {
    std::size_t operator()(const TransferKey& key) const noexcept {
        return std::hash<std::uint64_t>()(key.sender * 0x9E3779B97F4A7C15ull ^ static_cast<std::uint32_t>(key.reference));
    }
};

// State of one transfer whose chunks are still arriving.
struct ChunkTransferState {
    std::int32_t chunkCount = 0;      // as the transfer's first stored chunk announced it
    std::int32_t stored = 0;          // distinct chunks stored
    std::int64_t bytes = 0;           // sum of their byte counts
    std::uint64_t firstUse = 0;       // store use number of its first chunk
    std::int32_t lastIndex = 0;       // chunk index and call reference of the chunk stored last
    std::int32_t lastCallReference = 0;
    std::int32_t firstChunkCallReference = 0;   // the call chunk 0 came in
    std::int32_t highestIndex = -1;   // the highest chunk index stored: a chunk above it is no repeat
};
// The chunk that completed a transfer: its index and the reference number of the
// call it came in (each try of a chunk has its own).
struct CompletedTransfer {
    std::int32_t chunkIndex = 0;
    std::int32_t callReference = 0;
    std::int32_t firstChunkCallReference = 0;   // the call chunk 0 came in
};
// Bookkeeping of one direction (call chunks or return chunks): open transfers by
// sender and transfer reference, how many chunks its store has taken, which slots hold
// chunks of open transfers (a new chunk never overwrites one of them), and the open
// transfers in the order they began, so that the oldest is found when every slot is taken.
// Entries taken out of the chunk index and kept for the next chunks, so that a chunk
// costs no allocation once the index has grown; a copy starts without any.
struct SpareChunkEntries {
    std::vector<std::multimap<ChunkKey, ChunkEntry>::node_type> nodes;
    SpareChunkEntries() = default;
    SpareChunkEntries(const SpareChunkEntries&) {}
    SpareChunkEntries& operator=(const SpareChunkEntries&) { return *this; }
};
struct ChunkLedger {
    std::unordered_map<TransferKey, ChunkTransferState, TransferKeyHash> transfers;
    std::uint64_t slotUses = 0;
    std::deque<std::pair<std::uint64_t, TransferKey>> openedOrder;   // (first use, transfer)
    std::vector<bool> liveSlots;   // kChunkSlots entries once a chunk was stored
    std::int32_t liveCount = 0;
    // The transfers put together last (at most kRecentTransfers), so that a late
    // repeat of one of their chunks is not taken for the start of a new transfer.
    std::unordered_map<TransferKey, CompletedTransfer, TransferKeyHash> recentlyCompleted;
    std::deque<TransferKey> completedOrder;
    // The transfers dropped last for want of slots (at most kRecentTransfers): their later
    // chunks are refused, so a transfer that lost chunks is never answered as if whole.
    std::unordered_map<TransferKey, std::uint64_t, TransferKeyHash> recentlyDropped;
    std::deque<TransferKey> droppedOrder;
    SpareChunkEntries spares;
};
// How many completed transfers a ledger remembers.
constexpr std::size_t kRecentTransfers = 256;

// One direction's chunk store: kChunkSlots slots of kChunkSlotBytes bytes (20 MB). It
// lives on the heap and is made when a chunk is first stored, so a CRP_CallerEx is small
// enough for a thread's stack and costs nothing until chunks arrive. It reads like the
// array it stands for: `store[i]`, `store.data()`, and an `unsigned char*` where one is wanted.
class ChunkStore {
public:
    static constexpr std::size_t kBytes = static_cast<std::size_t>(kChunkSlots) * kChunkSlotBytes;

    ChunkStore() = default;
    ChunkStore(const ChunkStore&) = delete;
    // Copies the other store's bytes (none when it was never made).
    ChunkStore& operator=(const ChunkStore& other);

    unsigned char* data();                              // made here on first use
    const unsigned char* Peek() const { return m_bytes.get(); }   // nullptr until made
    operator unsigned char*() { return data(); }
    unsigned char& operator[](std::size_t index) { return data()[index]; }
    static constexpr std::size_t size() { return kBytes; }

private:
    std::unique_ptr<unsigned char[]> m_bytes;
};
}  // namespace talvex

class CRP_CallerEx : public CRP_Caller {
public:
    CRP_CallerEx();
    explicit CRP_CallerEx(unsigned short myPort);
    virtual ~CRP_CallerEx();
    CRP_CallerEx& operator=(const CRP_CallerEx& other);
    CRP_CallerEx(const CRP_CallerEx&) = delete;

    void EnableMulti();
    void DisableMulti();
    // Where every call chunk goes: the peer's UDP port and IPv4 address, host order.
    void SetMultiTarget(unsigned short port, std::uint32_t hostAddress);
    // How many chunks of a chunked call are sent before their answers come: each chunk
    // is a call of its own, and the next goes out as soon as one is answered. 1 sends
    // one chunk at a time, each after the answer to the one before. Values outside
    // 1..kMaxChunksInFlight are brought into that range.
    void SetChunksInFlight(std::int32_t count);
    std::int32_t GetChunksInFlight() const;

    bool CallProcedure(CUdpDataBlockEx* block, std::int32_t timeout);
    std::int32_t SendReturn(CUdpDataBlockEx* block);

    void DoRemoteFunction(CUdpDataBlockEx* block) override;
    void DoRemoteFunctionMulti(CUdpDataBlockEx* block) override;
    bool SendReturnMulti(CUdpDataBlockEx* block) override;

    // Shared-memory channel.
    bool InitSharedMemory(const CString& baseName, int size, int key, bool lockOwner);
    bool UnInitSharedMemory();
    void EnableSharedMemory();
    void DisableSharedMemory();
    std::uint32_t TelegramFunc(void* unused);
    static std::uint32_t TelegramThreadProc(void* caller);

    CUdpDataBlockEx m_MultiCallBlock;
    CUdpDataBlockEx m_MultiReturnBlock;
    std::atomic<bool> m_bMultiEnabled;    // atomic: read by the dispatch thread, switched by the application

    std::uint16_t m_nMultiPort;
    std::uint32_t m_nMultiAddress;
    std::multimap<talvex::ChunkKey, talvex::ChunkEntry> m_mapChunks;
    unsigned char m_abyChunkStaging[talvex::kChunkBytes];
    talvex::ChunkStore m_abyCallChunkStore;
    talvex::ChunkStore m_abyReturnChunkStore;
    std::int32_t m_nLastCallSlot;
    std::int32_t m_nLastReturnSlot;
    CUdpDataBlockEx m_ReturnChunkBlock;
    CUdpDataBlockEx m_CallChunkBlock;

    std::atomic<bool> m_bSharedMemory;    // atomic: read by the telegram thread, switched by the application
    std::int32_t* m_pSharedCall;
    std::int32_t* m_pSharedReturn;
    CWinThread* m_pTelegramThread;
    std::uint32_t m_nPeerThreadId;
    mappedRegionS* m_pCallRegion;
    mappedRegionS* m_pReturnRegion;
    std::int32_t m_nSharedSize;
    CString m_strSharedName;
    std::int32_t m_nSharedKey;
    void* m_hSharedLock;
    bool m_bSharedLockOwner;
    void* m_hTelegramSignal;

protected:
    // Per-transfer bookkeeping of the chunk index, one ledger per direction, so that a
    // chunk costs the same however many chunks came before it and call and return
    // transfers with the same reference never mix.
    talvex::ChunkLedger m_callLedger;
    talvex::ChunkLedger m_returnLedger;
    // Guards the chunk index, both stores with their slot counters and ledgers, and
    // m_ReturnAssembly: call chunks are stored by the dispatch thread, return chunks by
    // whichever thread reads them. Never held across a hook, a send or a wait.
    std::mutex m_chunkIndexLock;
    std::atomic<std::int32_t> m_nChunksInFlight{talvex::kDefaultChunksInFlight};
    // Where a return put together from chunks is collected before it goes to its call
    // (m_chunkIndexLock).
    CUdpDataBlockEx m_ReturnAssembly;
    friend class talvex::ChunkedCallSender;

    // The part both constructors share: counters, flag, the two events, a closed channel.
    void InitExtendedState();
    // Replaces the chunk index by a copy of `other`'s, pointing into this object's stores.
    void CopyChunkIndexFrom(const CRP_CallerEx& other);
    // Sends `block` (more than 350 words) as a burst of return chunks and the final empty return.
    void SendChunkedReturn(CUdpDataBlockEx* block);
    // All chunks at once, for a test seam, which takes them without acknowledgements.
    void SendWholeBurst(const CUdpDataBlockEx& block, const CSockAddr& destination, std::int32_t chunkCount);
    // Counts and tells an answer whose other `chunks` are not sent, and `why`.
    void ReportAnswerCutShort(const CSockAddr& destination, std::int32_t reference, std::int32_t chunks,
                              const std::string& why);
    friend class talvex::AnswerSender;
    // Builds chunk `index` of `block` into `chunk` (message type `type`, the block's
    // procedure and reference number), passing the bytes through `staging`.
    static void BuildChunk(const CUdpDataBlockEx& block, std::int32_t type, std::int32_t transferReference,
                           std::int32_t chunkCount, std::int32_t index, unsigned char* staging,
                           CUdpDataBlockEx& chunk);
    // Number of chunks of a block of `words` words (0 for an empty or malformed one).
    static std::int64_t ChunkCountOf(std::int32_t words);
    // Hands a return put together from chunks (in m_ReturnAssembly) to the call in
    // flight it answers, or, when none awaits it, to m_MultiReturnBlock.
    void DeliverChunkedReturn(const CSockAddr& from);
    // The sender of the chunk being served.
    CSockAddr ServedSender() const;

    // The channel references of this caller's last shared-memory calls that gave up: a
    // late answer that carries one of them is never taken by a later call.
    std::array<std::int32_t, 8> m_anAbandonedChannelCalls{};
    std::size_t m_nAbandonedChannelCalls = 0;

    // Shared-memory branches of CallProcedure and SendReturn.
    bool SharedCallProcedure(CUdpDataBlockEx* block, std::int32_t timeout);
    std::int32_t SharedSendReturn(CUdpDataBlockEx* block);
    void ResetSharedMemoryState();
};
