#pragma once
// CRP_CallerEx: the caller for calls and answers of any length. Blocks of more than
// 350 words travel as numbered chunks and are put together again on the other side;
// between two processes of one computer a shared-memory channel can carry the calls
// instead of UDP. The object is about 40 MB large: create it on the heap.
#include "talvex05u/caller/RP_Caller.h"
#include "talvex05u/shmem/MemPrimitives.h"
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>

// Thread messages of the shared-memory channel.
constexpr std::uint32_t WM_RP_TELEGRAM = 1148;
constexpr std::uint32_t WM_RP_TELEGRAM_QUIT = 1149;

// Chunk geometry.
constexpr std::int32_t kChunkWords = 346;
constexpr std::int32_t kChunkBytes = 1384;
constexpr std::int32_t kChunkSlots = 10000;
constexpr std::int32_t kChunkSlotBytes = 2000;
constexpr std::int32_t kChunkTries = 3;

// One entry of the chunk index: the chunk's byte count and the store slot holding its bytes.
struct ChunkEntry {
    std::int32_t m_nByteCount;
    unsigned char* m_pData;      // nullptr once copied into a reassembled block
};
// Key of the chunk index: (chunk index, transfer reference), compared in that order.
using ChunkKey = std::pair<std::int32_t, std::int32_t>;

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
    bool m_bMultiEnabled;
    std::uint16_t m_nMultiPort;
    std::uint32_t m_nMultiAddress;
    std::multimap<ChunkKey, ChunkEntry> m_mapChunks;
    unsigned char m_abyChunkStaging[kChunkBytes];
    unsigned char m_abyCallChunkStore[kChunkSlots * kChunkSlotBytes];
    unsigned char m_abyReturnChunkStore[kChunkSlots * kChunkSlotBytes];
    std::int32_t m_nLastCallSlot;
    std::int32_t m_nLastReturnSlot;
    CUdpDataBlockEx m_ReturnChunkBlock;
    CUdpDataBlockEx m_CallChunkBlock;

    bool m_bSharedMemory;
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
    // Per-transfer bookkeeping of the chunk index, so that a chunk costs the same
    // however many chunks came before it.
    struct TransferState {
        std::int32_t chunkCount = 0;      // as the first chunk announced it
        std::int32_t stored = 0;          // distinct chunks stored
        std::int64_t bytes = 0;           // sum of their byte counts
        std::uint64_t firstSlotUse = 0;   // store-use counter when its first chunk was stored
        bool isReturn = false;
    };
    std::unordered_map<std::int32_t, TransferState> m_transfers;
    std::uint64_t m_nCallSlotUses = 0;    // chunks stored in each store, ever
    std::uint64_t m_nReturnSlotUses = 0;
    // Staging area of chunked returns, apart from m_abyChunkStaging (used by calls),
    // so a chunked call and a chunked return never build chunks in one area.
    unsigned char m_abyReturnChunkStaging[kChunkBytes];

    // Shared-memory branches of CallProcedure and SendReturn.
    bool SharedCallProcedure(CUdpDataBlockEx* block, std::int32_t timeout);
    std::int32_t SharedSendReturn(CUdpDataBlockEx* block);
    void ResetSharedMemoryState();
};
