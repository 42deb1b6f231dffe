#pragma once
// Classification of Windows Sockets error numbers: the description text of each
// known number and whether the caller's threads must give up on it.
#include <string>

namespace talvex {
struct SocketErrorInfo {
    const wchar_t* text;   // the description, "Unknown error code." for numbers not in the table
    bool fatal;            // false for 10035, 10037, 10054 and unknown numbers
};
SocketErrorInfo DescribeSocketError(int error);
// Reads the thread's last socket error, composes "WSAGetLastError returned: <text>",
// hands it to the diagnostic sink, clears the error and returns whether it was fatal.
bool ClassifyAndClearLastSocketError();
}  // namespace talvex
