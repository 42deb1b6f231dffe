// The fixed table of Windows Sockets error numbers with their descriptions and
// whether the caller's threads must give up on them, and the classification of the
// thread's last socket error that the caller runs after a failed socket operation.
#include "talvex05u/caller/SocketErrorText.h"

#include "talvex05u/platform/SocketError.h"
#include "talvex05u/socket/BlockingSocketException.h"

#include <string>

namespace talvex {
namespace {

struct SocketErrorRow {
    int code;
    const wchar_t* text;
    bool fatal;
};

constexpr SocketErrorRow kSocketErrorTable[] = {
    {10004, L"Interrupted system call.", true},  // WSAEINTR
    {10009, L"Bad file number.", true},  // WSAEBADF
    {10013, L"Permission denied.", true},  // WSAEACCES
    {10014, L"Bad address.", true},  // WSAEFAULT
    {10022, L"Invalid argument.", true},  // WSAEINVAL
    {10024, L"Too many open files.", true},  // WSAEMFILE
    {10035, L"Operation would block.", false},  // WSAEWOULDBLOCK
    {10036, L"Operation now in progress. This error is returned if any Windows Sockets API function is called while a blocking function is in progress.", true},  // WSAEINPROGRESS
    {10037, L"Operation already in progress.", false},  // WSAEALREADY
    {10038, L"Socket operation on nonsocket.", true},  // WSAENOTSOCK
    {10039, L"Destination address required.", true},  // WSAEDESTADDRREQ
    {10040, L"Message too long.", true},  // WSAEMSGSIZE
    {10041, L"Protocol wrong type for socket.", true},  // WSAEPROTOTYPE
    {10042, L"Protocol not available.", true},  // WSAENOPROTOOPT
    {10043, L"Protocol not supported.", true},  // WSAEPROTONOSUPPORT
    {10044, L"Socket type not supported.", true},  // WSAESOCKTNOSUPPORT
    {10045, L"Operation not supported on socket.", true},  // WSAEOPNOTSUPP
    {10046, L"Protocol family not supported.", true},  // WSAEPFNOSUPPORT
    {10047, L"Address family not supported by protocol family.", true},  // WSAEAFNOSUPPORT
    {10048, L"Address already in use.", true},  // WSAEADDRINUSE
    {10049, L"Cannot assign requested address.", true},  // WSAEADDRNOTAVAIL
    {10050, L"Network is down. This error may be reported at any time if the Windows Sockets implementation detects an underlying failure.", true},  // WSAENETDOWN
    {10051, L"Network is unreachable.", true},  // WSAENETUNREACH
    {10052, L"Network dropped connection on reset.", true},  // WSAENETRESET
    {10053, L"Software caused connection abort.", true},  // WSAECONNABORTED
    {10054, L"Connection reset by peer.", false},  // WSAECONNRESET
    {10055, L"No buffer space available.", true},  // WSAENOBUFS
    {10056, L"Socket is already connected.", true},  // WSAEISCONN
    {10057, L"Socket is not connected.", true},  // WSAENOTCONN
    {10058, L"Cannot send after socket shutdown.", true},  // WSAESHUTDOWN
    {10059, L"Too many references: cannot splice.", true},  // WSAETOOMANYREFS
    {10060, L"Connection timed out.", true},  // WSAETIMEDOUT
    {10061, L"Connection refused.", true},  // WSAECONNREFUSED
    {10062, L"Too many levels of symbolic links.", true},  // WSAELOOP
    {10063, L"File name too long.", true},  // WSAENAMETOOLONG
    {10064, L"Host is down.", true},  // WSAEHOSTDOWN
    {10065, L"No route to host.", true},  // WSAEHOSTUNREACH
    {10091, L"Returned by WSAStartup(), indicating that the network subsystem is unusable.", true},  // WSASYSNOTREADY
    {10092, L"Returned by WSAStartup(), indicating that the Windows Sockets DLL cannot support this application.", true},  // WSAVERNOTSUPPORTED
    {10093, L"Winsock not initialized. This message is returned by any function except WSAStartup(), indicating that a successful WSAStartup() has not yet been performed.", true},  // WSANOTINITIALISED
    {10101, L"Disconnect.", true},  // WSAEDISCON
    {11001, L"Host not found. This message indicates that the key (name, address, and so on) was not found.", true},  // WSAHOST_NOT_FOUND
    {11002, L"Nonauthoritative host not found. This error may suggest that the name service itself is not functioning.", true},  // WSATRY_AGAIN
    {11003, L"Nonrecoverable error. This error may suggest that the name service itself is not functioning.", true},  // WSANO_RECOVERY
    {11004, L"Valid name, no data record of requested type. This error indicates that the key (name, address, and so on) was not found.", true},  // WSANO_DATA
};

constexpr const wchar_t* kUnknownErrorText = L"Unknown error code.";
constexpr const char* kDiagnosticPrefix = "WSAGetLastError returned: ";

// The table's texts are ASCII, so each wide character is one byte of the line.
std::string ToNarrow(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* p = text; *p != L'\0'; ++p) narrow.push_back(static_cast<char>(*p));
    return narrow;
}

}  // namespace

SocketErrorInfo DescribeSocketError(int error) {
    for (const SocketErrorRow& row : kSocketErrorTable) {
        if (row.code == error) return SocketErrorInfo{row.text, row.fatal};
    }
    return SocketErrorInfo{kUnknownErrorText, false};
}

bool ClassifyAndClearLastSocketError() {
    const int error = WSAGetLastError();
    const SocketErrorInfo info = DescribeSocketError(error);
    WSASetLastError(0);
    if (error == 0) return info.fatal;   // no error: nothing to tell
    try {
        const std::string line = kDiagnosticPrefix + ToNarrow(info.text);
        EmitDiagnostic(line.c_str());
    } catch (...) {
        // The diagnostic line is optional; the classification must still answer.
    }
    return info.fatal;
}

}  // namespace talvex
