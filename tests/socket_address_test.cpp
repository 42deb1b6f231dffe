// CSockAddr conversions, the socket exception's message and run-time class, and
// the log line composed for a caught socket exception.
#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/BlockingSocketException.h"
#include "talvex05u/socket/HttpBlockingSocket.h"
#include "talvex05u/socket/SockAddr.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

TEST(SockAddr, DottedTextAndPortRoundTrip) {
    const CSockAddr address("1.2.3.4", 80);
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(address.Port(), 80);
    EXPECT_EQ(address.IPAddr(), 0x01020304u);
    EXPECT_EQ(address.DottedDecimal(), L"1.2.3.4");
    EXPECT_EQ(address.sin_port, htons(80));
    EXPECT_EQ(address.sin_addr.s_addr, htonl(0x01020304u));
}

TEST(SockAddr, ConstructorsStoreNetworkOrder) {
    const CSockAddr any;
    EXPECT_EQ(any.sin_family, AF_INET);
    EXPECT_EQ(any.Port(), 0);
    EXPECT_EQ(any.IPAddr(), 0u);
    EXPECT_EQ(any.DottedDecimal(), L"0.0.0.0");

    const CSockAddr fromHost(0x7F000001u, 4660);
    EXPECT_EQ(fromHost.DottedDecimal(), L"127.0.0.1");
    EXPECT_EQ(fromHost.Port(), 4660);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&fromHost.sin_port);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);

    const CSockAddr notAnAddress("no address", 7);
    EXPECT_EQ(notAnAddress.IPAddr(), 0xFFFFFFFFu);
    EXPECT_EQ(notAnAddress.DottedDecimal(), L"255.255.255.255");
    EXPECT_EQ(CSockAddr(nullptr, 7).IPAddr(), 0xFFFFFFFFu);
}

TEST(SockAddr, CopiesAndConversionsKeepTheSixteenBytes) {
    const CSockAddr original(0xC0A80001u, 9000);
    const sockaddr plain = original;
    CSockAddr fromPlain(plain);
    EXPECT_EQ(std::memcmp(&fromPlain, &original, sizeof original), 0);

    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(1);
    in.sin_addr.s_addr = htonl(0x0A000001u);
    CSockAddr assigned;
    assigned = in;
    EXPECT_EQ(assigned.DottedDecimal(), L"10.0.0.1");
    assigned = plain;
    EXPECT_EQ(assigned.Port(), 9000);
    const sockaddr* asPointer = assigned;
    EXPECT_EQ(static_cast<const void*>(asPointer), static_cast<const void*>(&assigned));
}

// Run-time class records and their bases.
TEST(SocketRuntimeClasses, NamesAndBases) {
    struct Expected {
        const CRuntimeClass* record;
        const char* name;
        const CRuntimeClass* base;
    };
    const Expected table[] = {
        {CBlockingSocket::GetThisClass(), "CBlockingSocket", &classCObject},
        {CBlockingSocketException::GetThisClass(), "CBlockingSocketException", &classCException},
        {CHttpBlockingSocket::GetThisClass(), "CHttpBlockingSocket", &classCBlockingSocket},
    };
    for (const Expected& row : table) {
        EXPECT_STREQ(row.record->m_lpszClassName, row.name);
        EXPECT_EQ(row.record->m_pBaseClass, row.base);
    }
    EXPECT_EQ(&classCBlockingSocketException, CBlockingSocketException::GetThisClass());
    EXPECT_EQ(&classCHttpBlockingSocket, CHttpBlockingSocket::GetThisClass());

    CHttpBlockingSocket http;
    const CObject& asObject = http;
    EXPECT_EQ(asObject.GetRuntimeClass(), &classCHttpBlockingSocket);
    EXPECT_TRUE(asObject.IsKindOf(&classCBlockingSocket));
}

// An exception constructed with a given last socket error.
CBlockingSocketException* MakeException(const char* operation, int error) {
    talvex::WSASetLastError(error);
    auto* exception = new CBlockingSocketException(operation);
    talvex::WSASetLastError(0);
    return exception;
}

TEST(BlockingSocketException, MessagesWithAndWithoutNumber) {
    struct Case {
        const char* operation;
        int error;
        unsigned int size;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"Send timeout", 0, 200, L"Send timeout error"},
        {"Send", 10054, 200, L"Send error #10054"},
        {"Send", 10054, 5, L"Send"},
        {"Send", 10054, 1, L""},
        {"Receive timeout", 0, 16, L"Receive timeout"},
        {"", 0, 200, L" error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.operation) + " size " + std::to_string(c.size));
        CBlockingSocketException* exception = MakeException(c.operation, c.error);
        EXPECT_EQ(exception->m_nError, c.error);
        std::vector<wchar_t> buffer(c.size + 4, L'#');
        EXPECT_EQ(exception->GetErrorMessage(buffer.data(), c.size, nullptr), 1);
        EXPECT_STREQ(buffer.data(), c.expected);
        EXPECT_EQ(buffer[c.size], L'#');  // nothing written past the given size
        exception->Delete();
    }
}

TEST(BlockingSocketException, SizeZeroWritesNothingAndLongTextsAreCut) {
    CBlockingSocketException* exception = MakeException("Send", 10054);
    wchar_t untouched = L'#';
    unsigned int help = 77;
    EXPECT_EQ(exception->GetErrorMessage(&untouched, 0, &help), 1);
    EXPECT_EQ(untouched, L'#');
    EXPECT_EQ(help, 77u);
    exception->Delete();

    const std::string longText(400, 'x');
    exception = MakeException(longText.c_str(), 10054);
    std::vector<wchar_t> buffer(600, L'#');
    exception->GetErrorMessage(buffer.data(), 600);
    EXPECT_EQ(std::wcslen(buffer.data()), 199u);
    exception->Delete();
}

TEST(BlockingSocketException, ThrownAsPointerAndCaughtThroughBase) {
    talvex::WSASetLastError(10061);
    try {
        throw new CBlockingSocketException("Connect");
    } catch (CException* caught) {
        EXPECT_TRUE(caught->IsKindOf(&classCBlockingSocketException));
        wchar_t text[64];
        caught->GetErrorMessage(text, 64);
        EXPECT_STREQ(text, L"Connect error #10061");
        caught->Delete();
    }
    talvex::WSASetLastError(0);
}

void CollectLine(const char* line, void* context) { static_cast<std::vector<std::string>*>(context)->push_back(line); }

TEST(BlockingSocketException, LogLineNamesContextMessageAndUtcTime) {
    std::vector<std::string> lines;
    talvex::SetDiagnosticSink(&CollectLine, &lines);
    CBlockingSocketException* exception = MakeException("Receive", 10054);
    LogBlockingSocketException("Dispatcher:", exception);
    // The message is cut to 48 characters.
    CBlockingSocketException* longOne = MakeException(std::string(80, 'L').c_str(), 10004);
    LogBlockingSocketException("CRP_Caller:", longOne);
    talvex::SetDiagnosticSink(nullptr, nullptr);
    LogBlockingSocketException("Dropped:", exception);
    exception->Delete();
    longOne->Delete();

    ASSERT_EQ(lines.size(), 2u);
    const std::regex first(R"(WINSOCK ERROR--Dispatcher: Receive error #10054 -- \d\d/\d\d/\d\d \d\d:\d\d:\d\d GMT\r\n)");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_EQ(lines[1].rfind("WINSOCK ERROR--CRP_Caller: " + std::string(48, 'L') + " -- ", 0), 0u) << lines[1];
}

}  // namespace
