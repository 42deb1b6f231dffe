// CRPCDebugStream: the trace stream's connection state machine and its worker.
// Every change of state or socket happens under m_lock; the worker never holds it
// across its 1 ms sleep, and the socket is non-blocking so no call under the lock waits.
#include "talvex05u/support/RPCDebugStream.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::int32_t kStopped = 0;
constexpr std::int32_t kConnecting = 1;
constexpr std::int32_t kConnected = 2;
constexpr std::int32_t kEnding = 3;
constexpr std::int32_t kTraceSlots = 32;
constexpr std::size_t kLineBuffer = 256;
constexpr std::size_t kLongestLine = kLineBuffer - 3;   // room for CR LF and the terminating zero
constexpr std::size_t kReceiveChunk = 1024;
constexpr auto kWorkerPause = std::chrono::milliseconds(1);

// Copies `source` into a fixed buffer, cutting it to fit and always terminating it.
template <std::size_t N>
void CopyCut(char (&target)[N], const char* source) {
    std::size_t length = source ? strnlen(source, N - 1) : 0;
    if (length > 0) std::memcpy(target, source, length);
    target[length] = '\0';
}

int Descriptor(talvex::SocketHandle handle) { return static_cast<int>(handle); }

}  // namespace

CRPCDebugStream::CRPCDebugStream(unsigned short identifier, const char* firstName, const char* secondName)
    : m_Traces{},
      m_nIdentifier(identifier),
      m_szFirstName{},
      m_szSecondName{},
      m_pWorkerThread(nullptr),
      m_nTraceCount(0),
      m_nState(kStopped),
      m_hSocket(talvex::kInvalidSocket) {
    CopyCut(m_szFirstName, firstName);
    CopyCut(m_szSecondName, secondName);
    m_pWorkerThread = talvex::BeginThread(&CRPCDebugStream::WorkerEntry, this, talvex::kPriorityNormal);
}

CRPCDebugStream::~CRPCDebugStream() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_nState = kEnding;
    }
    delete m_pWorkerThread;   // joins: the worker sees state 3 within one pass
    m_pWorkerThread = nullptr;
    if (m_hSocket != talvex::kInvalidSocket) {
        ::close(Descriptor(m_hSocket));
        m_hSocket = talvex::kInvalidSocket;
    }
}

CRPCDebugStream& CRPCDebugStream::operator=(const CRPCDebugStream& other) {
    if (this == &other) return *this;
    std::scoped_lock guard(m_lock, other.m_lock);
    std::memcpy(m_Traces, other.m_Traces, sizeof m_Traces);
    m_nTraceCount = other.m_nTraceCount;
    m_nIdentifier = other.m_nIdentifier;
    std::memcpy(m_szFirstName, other.m_szFirstName, sizeof m_szFirstName);
    std::memcpy(m_szSecondName, other.m_szSecondName, sizeof m_szSecondName);
    return *this;
}

std::uint32_t CRPCDebugStream::WorkerEntry(void* stream) {
    return static_cast<CRPCDebugStream*>(stream)->Work();
}

std::int32_t CRPCDebugStream::AddTrace(const char* name, const char* text) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_nTraceCount >= kTraceSlots) return -1;
    TraceEntry& entry = m_Traces[m_nTraceCount];
    CopyCut(entry.name, name);
    CopyCut(entry.text, text);
    return m_nTraceCount++;
}

void CRPCDebugStream::Start() {
    std::lock_guard<std::mutex> guard(m_lock);
    StartLocked();
}

void CRPCDebugStream::Stop() {
    std::lock_guard<std::mutex> guard(m_lock);
    StopLocked();
}

void CRPCDebugStream::SetViewerPort(std::uint16_t port) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_nViewerPort = port;
}

std::int32_t CRPCDebugStream::GetState() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_nState;
}

void CRPCDebugStream::StartLocked() {
    if (m_nState == kEnding) return;   // ending is final: nothing may revive the worker
    if (m_hSocket != talvex::kInvalidSocket) ::close(Descriptor(m_hSocket));
    // A failed creation leaves the handle invalid; the next connect fails and starts over.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_hSocket = fd >= 0 ? static_cast<talvex::SocketHandle>(fd) : talvex::kInvalidSocket;
    m_bConnectPending = false;
    m_nState = kConnecting;
}

void CRPCDebugStream::StopLocked() {
    if (m_nState == kStopped) return;
    if (m_hSocket != talvex::kInvalidSocket) ::close(Descriptor(m_hSocket));
    m_hSocket = talvex::kInvalidSocket;
    m_bConnectPending = false;
    if (m_nState != kEnding) m_nState = kStopped;
}

void CRPCDebugStream::RestartLocked() {
    StopLocked();
    StartLocked();
}

bool CRPCDebugStream::SendWhole(const char* data, std::size_t length) {
    if (m_hSocket == talvex::kInvalidSocket) return false;
    ssize_t sent = ::send(Descriptor(m_hSocket), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    // A partial send would leave half a line on the wire; the next line would then be
    // glued to it, so it counts as a failure and the connection starts over.
    return sent == static_cast<ssize_t>(length);
}

void CRPCDebugStream::OnConnected() {
    m_bConnectPending = false;
    m_nState = kConnected;
    char header[2 * sizeof m_szFirstName + 16];
    int length = std::snprintf(header, sizeof header, "%s\t%s\t%04X\r\n", m_szFirstName, m_szSecondName,
                               static_cast<unsigned>(m_nIdentifier));
    if (length <= 0 || !SendWhole(header, static_cast<std::size_t>(length))) RestartLocked();
}

void CRPCDebugStream::ConnectStep() {
    if (m_hSocket == talvex::kInvalidSocket) {
        RestartLocked();
        return;
    }
    const int fd = Descriptor(m_hSocket);
    if (m_bConnectPending) {
        // A connect under way finishes as writability; SO_ERROR tells success from failure.
        pollfd probe{fd, POLLOUT, 0};
        int ready = ::poll(&probe, 1, 0);
        if (ready == 0) return;   // still under way: leave it alone this pass
        int error = 0;
        socklen_t size = sizeof error;
        if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
            RestartLocked();
            return;
        }
        OnConnected();
        return;
    }
    sockaddr_in viewer{};
    viewer.sin_family = AF_INET;
    viewer.sin_port = htons(m_nViewerPort);
    viewer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&viewer), sizeof viewer) == 0 || errno == EISCONN) {
        OnConnected();
    } else if (errno == EINPROGRESS || errno == EALREADY) {
        m_bConnectPending = true;   // nothing more this pass
    } else if (errno == EAGAIN || errno == EINTR) {
        // No local port free right now, or interrupted: try again next pass on the same socket.
    } else {
        RestartLocked();
    }
}

void CRPCDebugStream::ReceiveStep() {
    char discard[kReceiveChunk];
    ssize_t received = ::recv(Descriptor(m_hSocket), discard, sizeof discard, MSG_DONTWAIT);
    if (received > 0) return;
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    RestartLocked();   // 0: the viewer closed the connection; otherwise a broken connection
}

std::uint32_t CRPCDebugStream::Work() {
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_nState == kEnding) return 0;
            if (m_nState == kConnecting) ConnectStep();
            // Tested in the same pass, so a freshly connected stream reads at once.
            if (m_nState == kConnected) ReceiveStep();
            if (m_nState == kEnding) return 0;
        }
        std::this_thread::sleep_for(kWorkerPause);
    }
}

void CRPCDebugStream::Trace(std::int32_t traceNumber, const char* format, ...) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (traceNumber >= m_nTraceCount) return;
    }
    if (format == nullptr) return;
    char line[kLineBuffer];
    va_list arguments;
    va_start(arguments, format);
    int formatted = std::vsnprintf(line, kLongestLine + 1, format, arguments);
    va_end(arguments);
    std::size_t length = formatted < 0 ? 0 : static_cast<std::size_t>(formatted);
    if (length > kLongestLine) length = kLongestLine;
    line[length] = '\r';
    line[length + 1] = '\n';
    line[length + 2] = '\0';

    std::lock_guard<std::mutex> guard(m_lock);
    switch (m_nState) {
    case kConnected:
        if (!SendWhole(line, length + 2)) RestartLocked();
        break;
    case kConnecting:
        // The line is lost. A connect under way is left alone so that steady tracing
        // cannot keep the stream from ever connecting; a socket the worker has not
        // used yet (or could not create) is simply made anew.
        if (!m_bConnectPending) RestartLocked();
        break;
    case kStopped:
        RestartLocked();   // the first Trace on a stopped stream starts it
        break;
    default:
        break;   // ending: nothing may start the connection again
    }
}
