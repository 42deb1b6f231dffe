// Uses an installed Talvex05u: fills a data block, cuts it into packets,
// reassembles them in a second block and reads the values back. Beside the
// library it defines names the library uses internally, as an application may.
#include <Talvex05u.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "own_names.inc"

namespace {

bool Fail(const char* what)
{
    std::printf("consumer: FAILED %s\n", what);
    return false;
}

bool RoundTrip()
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
    do {
        sent.GetPacketAt(static_cast<std::int16_t>(received.m_nPacketPos), record.data(), true);
        if (record[0] == 0)
            return Fail("GetPacketAt");
        if (received.AddRawData(record.data() + 1, static_cast<std::int16_t>(record[0])) != 1)
            return Fail("AddRawData");
        ++packets;
    } while (received.m_nPacketPos < received.m_nLength && packets < 10);

    if (received.m_nLength != sent.m_nLength || received.m_nProcedure != 21 || received.m_nReferenceNumber != 5)
        return Fail("header");
    for (std::int32_t i = 0; i < 500; ++i)
        if (received.GetLongData() != i * 7)
            return Fail("GetLongData");
    char text[16] = {};
    if (!received.GetStringData(text, sizeof text) || std::strcmp(text, "installed") != 0)
        return Fail("GetStringData");
    if (received.GetDoubleData() != 2.5)
        return Fail("GetDoubleData");
    std::printf("consumer: ok %d words in %d packets\n", static_cast<int>(received.m_nLength), packets);
    return true;
}

}  // namespace

int main()
{
    return RoundTrip() ? 0 : 1;
}
