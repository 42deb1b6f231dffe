// The classification of socket errors: every known number with its text and fatality,
// unknown numbers, the errno and resolver mappings, and the per-thread last error.
#include "talvex05u/caller/SocketErrorText.h"
#include "talvex05u/platform/SocketError.h"
#include "support/socket_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netdb.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct KnownError {
    int code;
    const wchar_t* text;
    bool fatal;
};

const KnownError kKnownErrors[] = {
    {10004, L"Interrupted system call.", true},
    {10009, L"Bad file number.", true},
    {10013, L"Permission denied.", true},
    {10014, L"Bad address.", true},
    {10022, L"Invalid argument.", true},
    {10024, L"Too many open files.", true},
    {10035, L"Operation would block.", false},
    {10036, L"Operation now in progress. This error is returned if any Windows Sockets API function is called while a blocking function is in progress.", true},
    {10037, L"Operation already in progress.", false},
    {10038, L"Socket operation on nonsocket.", true},
    {10039, L"Destination address required.", true},
    {10040, L"Message too long.", true},
    {10041, L"Protocol wrong type for socket.", true},
    {10042, L"Protocol not available.", true},
    {10043, L"Protocol not supported.", true},
    {10044, L"Socket type not supported.", true},
    {10045, L"Operation not supported on socket.", true},
    {10046, L"Protocol family not supported.", true},
    {10047, L"Address family not supported by protocol family.", true},
    {10048, L"Address already in use.", true},
    {10049, L"Cannot assign requested address.", true},
    {10050, L"Network is down. This error may be reported at any time if the Windows Sockets implementation detects an underlying failure.", true},
    {10051, L"Network is unreachable.", true},
    {10052, L"Network dropped connection on reset.", true},
    {10053, L"Software caused connection abort.", true},
    {10054, L"Connection reset by peer.", false},
    {10055, L"No buffer space available.", true},
    {10056, L"Socket is already connected.", true},
    {10057, L"Socket is not connected.", true},
    {10058, L"Cannot send after socket shutdown.", true},
    {10059, L"Too many references: cannot splice.", true},
    {10060, L"Connection timed out.", true},
    {10061, L"Connection refused.", true},
    {10062, L"Too many levels of symbolic links.", true},
    {10063, L"File name too long.", true},
    {10064, L"Host is down.", true},
    {10065, L"No route to host.", true},
    {10091, L"Returned by WSAStartup(), indicating that the network subsystem is unusable.", true},
    {10092, L"Returned by WSAStartup(), indicating that the Windows Sockets DLL cannot support this application.", true},
    {10093, L"Winsock not initialized. This message is returned by any function except WSAStartup(), indicating that a successful WSAStartup() has not yet been performed.", true},
    {10101, L"Disconnect.", true},
    {11001, L"Host not found. This message indicates that the key (name, address, and so on) was not found.", true},
    {11002, L"Nonauthoritative host not found. This error may suggest that the name service itself is not functioning.", true},
    {11003, L"Nonrecoverable error. This error may suggest that the name service itself is not functioning.", true},
    {11004, L"Valid name, no data record of requested type. This error indicates that the key (name, address, and so on) was not found.", true},
};

// Classifies `code` as the last error; checks the answer, the emitted line and the cleared error.
void ExpectClassified(int code, const wchar_t* text, bool fatal) {
    SCOPED_TRACE(code);
    EXPECT_STREQ(talvex::DescribeSocketError(code).text, text);
    EXPECT_EQ(talvex::DescribeSocketError(code).fatal, fatal);
    std::vector<std::string> lines;
    talvex::SetDiagnosticSink(&testsupport::CollectLine, &lines);
    talvex::WSASetLastError(code);
    EXPECT_EQ(talvex::ClassifyAndClearLastSocketError(), fatal);
    talvex::SetDiagnosticSink(nullptr, nullptr);
    EXPECT_EQ(talvex::WSAGetLastError(), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"WSAGetLastError returned: " + std::string(text, text + std::wcslen(text))});
}

TEST(SocketErrorText, KnownAndUnknownCodes) {
    ASSERT_EQ(std::size(kKnownErrors), 45u);
    for (const KnownError& row : kKnownErrors) ExpectClassified(row.code, row.text, row.fatal);
    for (int code : {0, 1, -1, 10005, 10008, 10066, 10090, 10094, 10100, 10102, 11000, 11005, 20000 + EPIPE})
        ExpectClassified(code, L"Unknown error code.", false);
}

TEST(SocketErrorText, ErrnoAndResolverMappings) {
    const std::pair<int, int> errnoTable[] = {
        {EINTR, 10004}, {EBADF, 10009}, {EACCES, 10013}, {EFAULT, 10014}, {EINVAL, 10022}, {EMFILE, 10024},
        {EAGAIN, 10035}, {EWOULDBLOCK, 10035}, {EINPROGRESS, 10036}, {EALREADY, 10037}, {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040}, {EPROTOTYPE, 10041}, {ENOPROTOOPT, 10042}, {EPROTONOSUPPORT, 10043},
        {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050}, {ENETUNREACH, 10051}, {ENETRESET, 10052}, {ECONNABORTED, 10053},
        {ECONNRESET, 10054}, {ENOBUFS, 10055}, {EISCONN, 10056}, {ENOTCONN, 10057}, {ESHUTDOWN, 10058},
        {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061}, {ELOOP, 10062}, {ENAMETOOLONG, 10063},
        {EHOSTDOWN, 10064}, {EHOSTUNREACH, 10065}, {0, 0}, {EPIPE, 20000 + EPIPE},
    };
    for (const auto& [errnoValue, expected] : errnoTable) EXPECT_EQ(talvex::MapErrnoToSocketError(errnoValue), expected) << errnoValue;
    const std::pair<int, int> resolverTable[] = {{0, 0}, {EAI_NONAME, 11001}, {EAI_AGAIN, 11002}, {EAI_FAIL, 11003}, {EAI_NODATA, 11004}, {EAI_MEMORY, 11003}};
    for (const auto& [resolverValue, expected] : resolverTable) EXPECT_EQ(talvex::MapResolverError(resolverValue), expected) << resolverValue;
    errno = ECONNRESET;
    EXPECT_EQ(talvex::SetLastSocketErrorFromErrno(), 10054);
    EXPECT_EQ(talvex::WSAGetLastError(), 10054);
    int seenByOtherThread = -1;  // the last error belongs to the thread
    std::thread([&] { seenByOtherThread = talvex::WSAGetLastError(); talvex::WSASetLastError(10040); }).join();
    EXPECT_EQ(seenByOtherThread, 0);
    EXPECT_EQ(talvex::WSAGetLastError(), 10054);
    talvex::WSASetLastError(0);
}

}  // namespace
