// CSockAddr conversions, the socket exception's messages, and the log line composed for a caught socket exception.
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/HttpBlockingSocket.h"
#include "talvex05u/socket/SockAddr.h"
#include "support/socket_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(SockAddr, TextAndHostOrderConstructors) {
    const CSockAddr address("1.2.3.4", 80);
    EXPECT_EQ(std::make_tuple(address.sin_family, address.Port(), address.IPAddr(), address.sin_addr.s_addr),
              std::make_tuple(sa_family_t{AF_INET}, std::uint16_t{80}, 0x01020304u, htonl(0x01020304u)));
    EXPECT_EQ(address.DottedDecimal(), L"1.2.3.4");

    const CSockAddr fromHost(0x7F000001u, 4660);   // the port kept in network order: see BindToATakenPort...
    EXPECT_EQ((std::vector<std::wstring>{fromHost.DottedDecimal().str(), CSockAddr().DottedDecimal().str(), CSockAddr("no address", 7).DottedDecimal().str()}),
              (std::vector<std::wstring>{L"127.0.0.1", L"0.0.0.0", L"255.255.255.255"}));
    EXPECT_EQ(CSockAddr(nullptr, 7).IPAddr(), 0xFFFFFFFFu);
    const sockaddr plain = fromHost;
    EXPECT_EQ(std::memcmp(&plain, &fromHost, sizeof plain), 0);
}

// An exception constructed with a given last socket error.
CBlockingSocketException* MakeException(const std::string& operation, int error) {
    talvex::WSASetLastError(error);
    auto* exception = new CBlockingSocketException(operation.c_str());
    talvex::WSASetLastError(0);
    return exception;
}

TEST(BlockingSocketException, MessagesNeverPassTheGivenSizeAndTheLogLineCutsThemTo48) {
    const std::tuple<std::string, int, unsigned int, std::wstring> cases[] = {
        {"Send timeout", 0, 200, L"Send timeout error"},
        {"Send", 10054, 5, L"Send"},
        {"Send", 10054, 1, L""},
        {"", 0, 200, L" error"},
        {std::string(400, 'x'), 10054, 600, std::wstring(199, L'x')},
    };
    for (const auto& [operation, error, size, expected] : cases) {
        SCOPED_TRACE(operation.substr(0, 20) + " size " + std::to_string(size));
        CBlockingSocketException* exception = MakeException(operation, error);
        EXPECT_EQ(exception->m_nError, error);
        std::vector<wchar_t> buffer(size + 4, L'#');
        EXPECT_EQ(exception->GetErrorMessage(buffer.data(), size, nullptr), 1);
        EXPECT_EQ(std::wstring(buffer.data()), expected);
        EXPECT_EQ(buffer[size], L'#');
        exception->Delete();
    }
    CBlockingSocketException* exception = MakeException(std::string(80, 'L'), 10004);
    wchar_t untouched = L'#';
    unsigned int help = 77;
    EXPECT_EQ(std::make_tuple(exception->GetErrorMessage(&untouched, 0, &help), untouched, help), std::make_tuple(1, L'#', 77u));  // size 0 writes nothing
    // The log line cuts the message to 48 characters. The whole line's form (context,
    // message, UTC time) is checked end to end in diagnostics_test.
    std::vector<std::string> lines;
    talvex::SetDiagnosticSink(&testsupport::CollectLine, &lines);
    LogBlockingSocketException("CRP_Caller:", exception);
    talvex::SetDiagnosticSink(nullptr, nullptr);
    exception->Delete();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("WINSOCK ERROR--CRP_Caller: " + std::string(48, 'L') + " -- ", 0), 0u) << lines[0];
}

}  // namespace
