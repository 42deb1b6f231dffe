// The classification of socket errors: every known number with its text and
// fatality, unknown numbers, the errno and resolver mappings, and the per-thread
// last error that the classification clears.
#include "talvex05u/caller/SocketErrorText.h"
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/BlockingSocketException.h"

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

// The classification table as the system defines it.
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

void CollectLine(const char* line, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(line); }

class SocketErrorTextTest : public ::testing::Test {
protected:
    void SetUp() override { talvex::SetDiagnosticSink(&CollectLine, &m_lines); }
    void TearDown() override {
        talvex::SetDiagnosticSink(nullptr, nullptr);
        talvex::WSASetLastError(0);
    }
    std::vector<std::string> m_lines;
};

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) narrow.push_back(static_cast<char>(*p));
    return narrow;
}

TEST_F(SocketErrorTextTest, EveryKnownErrorHasItsTextAndResult) {
    ASSERT_EQ(std::size(kKnownErrors), 45u);
    for (const KnownError& row : kKnownErrors) {
        SCOPED_TRACE(row.code);
        const talvex::SocketErrorInfo info = talvex::DescribeSocketError(row.code);
        EXPECT_STREQ(info.text, row.text);
        EXPECT_EQ(info.fatal, row.fatal);
    }
}

TEST_F(SocketErrorTextTest, ClassificationEmitsTextClearsErrorAndAnswersTheRow) {
    for (const KnownError& row : kKnownErrors) {
        SCOPED_TRACE(row.code);
        m_lines.clear();
        talvex::WSASetLastError(row.code);
        EXPECT_EQ(talvex::ClassifyAndClearLastSocketError(), row.fatal);
        EXPECT_EQ(talvex::WSAGetLastError(), 0);
        ASSERT_EQ(m_lines.size(), 1u);
        EXPECT_EQ(m_lines[0], "WSAGetLastError returned: " + Narrow(row.text));
    }
}

TEST_F(SocketErrorTextTest, UnknownCodesAreRecoverable) {
    for (int code : {0, 1, -1, 10005, 10008, 10066, 10090, 10094, 10100, 10102, 11000, 11005, 20000 + EPIPE}) {
        SCOPED_TRACE(code);
        EXPECT_STREQ(talvex::DescribeSocketError(code).text, L"Unknown error code.");
        m_lines.clear();
        talvex::WSASetLastError(code);
        EXPECT_FALSE(talvex::ClassifyAndClearLastSocketError());
        EXPECT_EQ(talvex::WSAGetLastError(), 0);
        ASSERT_EQ(m_lines.size(), 1u);
        EXPECT_EQ(m_lines[0], "WSAGetLastError returned: Unknown error code.");
    }
}

TEST_F(SocketErrorTextTest, WithoutSinkTheLineIsDropped) {
    talvex::SetDiagnosticSink(nullptr, nullptr);
    talvex::WSASetLastError(10054);
    EXPECT_FALSE(talvex::ClassifyAndClearLastSocketError());
    EXPECT_TRUE(m_lines.empty());
}

TEST(SocketErrorMapping, ErrnoValuesMapOntoWindowsSocketsNumbers) {
    const std::pair<int, int> table[] = {
        {EINTR, 10004}, {EBADF, 10009}, {EACCES, 10013}, {EFAULT, 10014}, {EINVAL, 10022}, {EMFILE, 10024},
        {EAGAIN, 10035}, {EWOULDBLOCK, 10035}, {EINPROGRESS, 10036}, {EALREADY, 10037}, {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040}, {EPROTOTYPE, 10041}, {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {EPFNOSUPPORT, 10046},
        {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048}, {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},
        {ENETUNREACH, 10051}, {ENETRESET, 10052}, {ECONNABORTED, 10053}, {ECONNRESET, 10054}, {ENOBUFS, 10055},
        {EISCONN, 10056}, {ENOTCONN, 10057}, {ESHUTDOWN, 10058}, {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061}, {ELOOP, 10062}, {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064}, {EHOSTUNREACH, 10065},
    };
    for (const auto& [errnoValue, expected] : table) {
        SCOPED_TRACE(errnoValue);
        EXPECT_EQ(talvex::MapErrnoToSocketError(errnoValue), expected);
    }
    EXPECT_EQ(talvex::MapErrnoToSocketError(0), 0);
    EXPECT_EQ(talvex::MapErrnoToSocketError(EPIPE), 20000 + EPIPE);
    EXPECT_STREQ(talvex::DescribeSocketError(talvex::MapErrnoToSocketError(EPIPE)).text, L"Unknown error code.");

    errno = ECONNRESET;
    EXPECT_EQ(talvex::SetLastSocketErrorFromErrno(), 10054);
    EXPECT_EQ(talvex::WSAGetLastError(), 10054);
    talvex::WSASetLastError(0);
}

TEST(SocketErrorMapping, ResolverFailuresMapOntoHostErrors) {
    EXPECT_EQ(talvex::MapResolverError(0), 0);
    EXPECT_EQ(talvex::MapResolverError(EAI_NONAME), 11001);
    EXPECT_EQ(talvex::MapResolverError(EAI_AGAIN), 11002);
    EXPECT_EQ(talvex::MapResolverError(EAI_FAIL), 11003);
    EXPECT_EQ(talvex::MapResolverError(EAI_NODATA), 11004);
    EXPECT_EQ(talvex::MapResolverError(EAI_MEMORY), 11003);
}

TEST(SocketErrorMapping, LastErrorBelongsToTheThread) {
    talvex::WSASetLastError(10054);
    int seenByOtherThread = -1;
    std::thread other([&] {
        seenByOtherThread = talvex::WSAGetLastError();
        talvex::WSASetLastError(10040);
    });
    other.join();
    EXPECT_EQ(seenByOtherThread, 0);
    EXPECT_EQ(talvex::WSAGetLastError(), 10054);
    talvex::WSASetLastError(0);
}

}  // namespace
