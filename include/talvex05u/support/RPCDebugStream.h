#pragma once
// CRPCDebugStream: sends an application's trace lines over TCP to a trace viewer on
// 127.0.0.1:45278. A worker thread keeps the connection: it connects without
// blocking, introduces the stream with a header line, drains what the viewer sends
// and starts over on every failure. Lines traced while not connected are lost.
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/BlockingSocket.h"
#include <cstdint>
#include <mutex>

constexpr std::uint16_t kTraceViewerPort = 45278;

class CRPCDebugStream {
public:
    struct TraceEntry {
        char name[64];   // at most 63 characters; longer names are cut
        char text[17];   // at most 16 characters; longer texts are cut
    };

    CRPCDebugStream(unsigned short identifier, const char* firstName, const char* secondName);
    ~CRPCDebugStream();   // ends the worker thread, waits for it, closes the socket
    CRPCDebugStream(const CRPCDebugStream&) = delete;
    CRPCDebugStream& operator=(const CRPCDebugStream&) = delete;

    std::int32_t AddTrace(const char* name, const char* text);   // 0..31, or -1 when full
    void Start();
    void Stop();
    std::uint32_t Work();
    // Formats one line (cut to 253 characters) and sends it with CR LF.
    void Trace(std::int32_t traceNumber, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Where the stream connects (host order); tests point it at their own viewer.
    void SetViewerPort(std::uint16_t port);

    TraceEntry m_Traces[32];
    unsigned short m_nIdentifier;
    char m_szFirstName[64];
    char m_szSecondName[64];
    CWinThread* m_pWorkerThread;
    std::int32_t m_nTraceCount;
    std::int32_t m_nState;            // 0 stopped, 1 connecting, 2 connected, 3 ending
    talvex::SocketHandle m_hSocket;

private:
    std::recursive_mutex m_lock;      // serialises state and socket between worker and tracers
    std::uint16_t m_nViewerPort = kTraceViewerPort;
};
