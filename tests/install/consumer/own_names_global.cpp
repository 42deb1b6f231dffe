// An application with its own names at global scope that the library also uses
// (inside namespace talvex): they must neither collide nor become ambiguous.
#include <Talvex05u.h>

#include <cstdint>
#include <cstdio>
#include <vector>

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

int OwnNamesInAnonymousNamespace();   // own_names_anonymous.cpp

namespace {

int OwnNamesAtGlobalScope()
{
    const ChunkKey key{kNoProcedure};
    const ChunkEntry entry{kChunkSlots};
    const ChunkTransferState state{kChunkTries};
    const ChunkLedger ledger{kChunkBytes};
    const SocketHandle handle{kInvalidSocket};
    return key.owner + entry.slot + state.step + ledger.pages + handle.descriptor + kPacketRecordWords +
           kMaxPacketDataWords + kMaxPacketBytes + kMaxFramedWords + kChunkWords + kChunkSlotBytes + kTraceViewerPort +
           kConvertOk + kConvertInvalidArg + kConvertFail + kSockStream + kSockDgram;
}

}  // namespace

int main()
{
    // The library, beside the application's own names.
    char narrow[8];
    if (ConvertWideStringToAnsiCch(narrow, L"names", 8) != talvex::kConvertOk || kConvertOk != 11) {
        std::printf("own names: FAILED conversion\n");
        return 1;
    }
    CUdpDataBlockEx block(kChunkWords);
    block.AppendLongData(kMaxFramedWords);
    std::vector<std::int32_t> record(talvex::kPacketRecordWords);
    block.GetPacketAt(0, record.data(), true);
    if (record[0] != 20 || block.m_nProcedure != 5) {
        std::printf("own names: FAILED data block (%d bytes)\n", static_cast<int>(record[0]));
        return 1;
    }
    const int global = OwnNamesAtGlobalScope(), anonymous = OwnNamesInAnonymousNamespace();
    if (global != 135 || anonymous != 135) {
        std::printf("own names: FAILED values %d %d\n", global, anonymous);
        return 1;
    }
    std::printf("own names: ok\n");
    return 0;
}
