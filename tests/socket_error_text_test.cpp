// The classification of socket errors: the numbers whose text or fatality matter,
// unknown numbers, the errno and resolver mappings, and the per-thread last error.
#include "talvex05u/caller/SocketErrorText.h"
#include "talvex05u/platform/SocketError.h"
#include "support/socket_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

namespace {

struct KnownError {
    int code;
    const wchar_t* text;
    bool fatal;
};

const KnownError kKnownErrors[] = {
    {10035, L"Operation would block.", false},
    {10037, L"Operation already in progress.", false},
    {10040, L"Message too long.", true},
    {10054, L"Connection reset by peer.", false},
    {10101, L"Disconnect.", true},
    {11001, L"Host not found. This message indicates that the key (name, address, and so on) was not found.", true},
    {11002, L"Nonauthoritative host not found. This error may suggest that the name service itself is not functioning.", true},
    {11003, L"Nonrecoverable error. This error may suggest that the name service itself is not functioning.", true},
    {11004, L"Valid name, no data record of requested type. This error indicates that the key (name, address, and so on) was not found.", true},
};

// Classifies `code` as the last error; checks the answer, the emitted line and the cleared error.
void ExpectClassified(int code, const wchar_t* text, bool fatal) {
    SCOPED_TRACE(code);
    const auto described = talvex::DescribeSocketError(code);
    EXPECT_EQ(std::make_tuple(std::wstring(described.text), described.fatal), std::make_tuple(std::wstring(text), fatal));
    std::vector<std::string> lines;
    talvex::SetDiagnosticSink(&testsupport::CollectLine, &lines);
    talvex::WSASetLastError(code);
    EXPECT_EQ(talvex::ClassifyAndClearLastSocketError(), fatal);
    talvex::SetDiagnosticSink(nullptr, nullptr);
    EXPECT_EQ(talvex::WSAGetLastError(), 0);
    // No error is nothing to tell.
    const std::vector<std::string> told{"WSAGetLastError returned: " + std::string(text, text + std::wcslen(text))};
    EXPECT_EQ(lines, code == 0 ? std::vector<std::string>{} : told);
}

TEST(SocketErrorText, KnownAndUnknownCodes) {
    for (const KnownError& row : kKnownErrors) ExpectClassified(row.code, row.text, row.fatal);
    for (int code : {0, 1, -1, 10005, 10066, 10100, 10102, 11000, 11005, 20000 + EPIPE})
        ExpectClassified(code, L"Unknown error code.", false);
}

TEST(SocketErrorText, ErrnoAndResolverMappings) {
    const std::pair<int, int> errnoTable[] = {
        {EINTR, 10004}, {EAGAIN, 10035}, {EWOULDBLOCK, 10035}, {EALREADY, 10037}, {EMSGSIZE, 10040},
        {EADDRINUSE, 10048}, {ECONNRESET, 10054}, {ECONNREFUSED, 10061}, {0, 0}, {EPIPE, 20000 + EPIPE},
    };
    for (const auto& [errnoValue, expected] : errnoTable) EXPECT_EQ(talvex::MapErrnoToSocketError(errnoValue), expected) << errnoValue;
    const std::pair<int, int> resolverTable[] = {{0, 0}, {EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003}, {EAI_NODATA, 11004}, {EAI_MEMORY, 11003}};
    for (const auto& [resolverValue, expected] : resolverTable) EXPECT_EQ(talvex::MapResolverError(resolverValue), expected) << resolverValue;
    errno = ECONNRESET;
    EXPECT_EQ((std::tuple<int, int>{talvex::SetLastSocketErrorFromErrno(), talvex::WSAGetLastError()}), std::make_tuple(10054, 10054));
    int seenByOtherThread = -1;  // the last error belongs to the thread
    std::thread([&] { seenByOtherThread = talvex::WSAGetLastError(); talvex::WSASetLastError(10040); }).join();
    EXPECT_EQ(std::make_tuple(seenByOtherThread, talvex::WSAGetLastError()), std::make_tuple(0, 10054));
    talvex::WSASetLastError(0);
}

}  // namespace
