// An application with its own names at global scope that the library also uses
// (inside namespace talvex): they must neither collide nor become ambiguous.
#include <Talvex05u.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "own_names.inc"

int OwnNamesInAnonymousNamespace();   // own_names_anonymous.cpp

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
    if (OwnNamesInAnonymousNamespace() != 13) {
        std::printf("own names: FAILED in an anonymous namespace\n");
        return 1;
    }
    std::printf("own names: ok\n");
    return 0;
}
