// CHttpBlockingSocket: header lines one by one, then the rest of the response,
// through a 1000-byte read-ahead buffer whose held bytes always start at offset 0.
#include "talvex05u/socket/HttpBlockingSocket.h"

#include "talvex05u/platform/SocketError.h"

#include <algorithm>
#include <cstring>

const CRuntimeClass classCHttpBlockingSocket{"CHttpBlockingSocket", &classCBlockingSocket};

namespace {

constexpr int kInvalidArgument = 10022;

[[noreturn]] void ThrowWithError(const char* operation, int socketError) {
    talvex::WSASetLastError(socketError);
    throw new CBlockingSocketException(operation);
}

// Index of the first line feed in [from, to), or -1.
int FindLineFeed(const char* bytes, int from, int to) {
    const void* found = std::memchr(bytes + from, '\n', static_cast<std::size_t>(to - from));
    return found != nullptr ? static_cast<int>(static_cast<const char*>(found) - bytes) : -1;
}

}  // namespace

CHttpBlockingSocket::CHttpBlockingSocket() : m_pReadBuf(new char[kReadBufferSize]), m_nReadBuf(0) {}

CHttpBlockingSocket::~CHttpBlockingSocket() { delete[] m_pReadBuf; }

// Each object keeps its own buffer: the target copies the other's held bytes.
CHttpBlockingSocket& CHttpBlockingSocket::operator=(const CHttpBlockingSocket& other) {
    if (this == &other) return *this;
    CBlockingSocket::operator=(other);
    m_nReadBuf = std::clamp(other.m_nReadBuf, 0, kReadBufferSize);
    std::memcpy(m_pReadBuf, other.m_pReadBuf, static_cast<std::size_t>(m_nReadBuf));
    return *this;
}

const CRuntimeClass* CHttpBlockingSocket::GetRuntimeClass() const { return &classCHttpBlockingSocket; }
const CRuntimeClass* CHttpBlockingSocket::GetThisClass() { return &classCHttpBlockingSocket; }

// A line longer than the destination yields its first size - 1 bytes; the rest of
// the line stays held and comes out with the next call.
int CHttpBlockingSocket::ReadHttpHeaderLine(char* destination, int size, int seconds) {
    if (destination == nullptr || size < 1) ThrowWithError("ReadHeaderLine", kInvalidArgument);
    int lineFeed = FindLineFeed(m_pReadBuf, 0, m_nReadBuf);
    while (lineFeed < 0) {
        // A full buffer asks for 0 bytes: the receive still waits for readability,
        // returns 0 and ends the read like a closed connection.
        const int received = Receive(m_pReadBuf + m_nReadBuf, kReadBufferSize - m_nReadBuf, seconds);
        if (received <= 0) ThrowWithError("ReadHeaderLine", 0);
        const int searchFrom = m_nReadBuf;
        m_nReadBuf += received;
        lineFeed = FindLineFeed(m_pReadBuf, searchFrom, m_nReadBuf);
    }
    const int copied = std::min(lineFeed + 1, size - 1);
    std::memcpy(destination, m_pReadBuf, static_cast<std::size_t>(copied));
    destination[copied] = '\0';
    m_nReadBuf -= copied;
    std::memmove(m_pReadBuf, m_pReadBuf + copied, static_cast<std::size_t>(m_nReadBuf));
    return copied;
}

// Held bytes that do not fit the destination stay held, at the buffer's start.
int CHttpBlockingSocket::ReadHttpResponse(char* destination, int size, int seconds) {
    if (size <= 0) return 0;
    if (destination == nullptr) ThrowWithError("Receive", kInvalidArgument);
    int count = std::min(m_nReadBuf, size);
    std::memcpy(destination, m_pReadBuf, static_cast<std::size_t>(count));
    m_nReadBuf -= count;
    std::memmove(m_pReadBuf, m_pReadBuf + count, static_cast<std::size_t>(m_nReadBuf));
    while (count < size) {
        const int received = Receive(destination + count, std::min(kReadBufferSize, size - count), seconds);
        if (received <= 0) break;
        count += received;
    }
    return count;
}
