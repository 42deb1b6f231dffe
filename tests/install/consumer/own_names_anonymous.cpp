// The same names in an anonymous namespace: using them unqualified must not be
// ambiguous with anything the library header declares.
#include <Talvex05u.h>

namespace {

struct ChunkKey { int owner; };
struct ChunkEntry { int slot; };
struct ChunkTransferState { int step; };
struct ChunkLedger { int pages; };
struct SocketHandle { int descriptor; };
constexpr int kNoProcedure = -1;
constexpr int kPacketRecordWords = 1;
constexpr int kMaxPacketDataWords = 2;
constexpr int kMaxPacketBytes = 3;
constexpr int kMaxFramedWords = 4;
constexpr int kChunkWords = 5;
constexpr int kChunkBytes = 6;
constexpr int kChunkSlots = 7;
constexpr int kChunkSlotBytes = 8;
constexpr int kChunkTries = 9;
constexpr int kTraceViewerPort = 10;
constexpr int kConvertOk = 11;
constexpr int kConvertInvalidArg = 12;
constexpr int kConvertFail = 13;
constexpr int kInvalidSocket = 14;
constexpr int kSockStream = 15;
constexpr int kSockDgram = 16;

}  // namespace

int OwnNamesInAnonymousNamespace()
{
    const ChunkKey key{kNoProcedure};
    const ChunkEntry entry{kChunkSlots};
    const ChunkTransferState state{kChunkTries};
    const ChunkLedger ledger{kChunkBytes};
    const SocketHandle handle{kInvalidSocket};
    CUdpDataBlockEx block(kConvertFail);   // and the library beside them
    return block.m_nProcedure == 13 ? key.owner + entry.slot + state.step + ledger.pages + handle.descriptor +
                                          kPacketRecordWords + kMaxPacketDataWords + kMaxPacketBytes + kMaxFramedWords +
                                          kChunkWords + kChunkSlotBytes + kTraceViewerPort + kConvertOk +
                                          kConvertInvalidArg + kConvertFail + kSockStream + kSockDgram
                                    : -1;
}
