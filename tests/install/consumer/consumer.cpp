// Uses an installed Talvex05u: fills a data block, cuts it into packets,
// reassembles them in a second block and reads the values back. Beside the
// library it defines names the library uses internally, as an application may.
#include <Talvex05u.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "own_names.inc"

int main()
{
    CUdpDataBlockEx sent(21);
    sent.m_nReferenceNumber = 5;
    for (std::int32_t i = 0; i < 500; ++i)
        sent.AppendLongData(i * 7);
    sent.AppendStringData("installed");
    sent.AppendDoubleData(2.5);

    std::vector<std::int32_t> record(talvex::kPacketRecordWords);
    CUdpDataBlockEx received;
    int packets = 0;
    bool ok = true;
    do {
        sent.GetPacketAt(static_cast<std::int16_t>(received.m_nPacketPos), record.data(), true);
        ok = record[0] != 0 && received.AddRawData(record.data() + 1, static_cast<std::int16_t>(record[0])) == 1;
        ++packets;
    } while (ok && received.m_nPacketPos < received.m_nLength && packets < 10);

    ok = ok && received.m_nLength == sent.m_nLength && received.m_nProcedure == 21 && received.m_nReferenceNumber == 5;
    for (std::int32_t i = 0; i < 500; ++i)
        ok = ok && received.GetLongData() == i * 7;
    char text[16] = {};
    ok = ok && received.GetStringData(text, sizeof text) && std::strcmp(text, "installed") == 0;
    ok = ok && received.GetDoubleData() == 2.5;
    std::printf("consumer: %s %d words in %d packets\n", ok ? "ok" : "FAILED", static_cast<int>(received.m_nLength),
                packets);
    return ok ? 0 : 1;
}
