#pragma once
// CRPCDebugStream: sends an application's trace lines over TCP to a trace viewer on
// 127.0.0.1:45278. A worker thread keeps the connection: it connects without
// blocking, introduces the stream with a header line, drains what the viewer sends
// and starts over on every failure. Lines traced while not connected are lost.
//
// Limits: names (constructor and AddTrace) longer than 63 characters and AddTrace
// texts longer than 16 are cut to fit; a formatted Trace line longer than 253
// characters is cut so that the line plus CR LF fits 256 bytes. Null strings count
// as empty. All state shared by the worker and tracing threads sits behind one
// mutex; the destructor ends and joins the worker before anything goes away.
// A closed viewer never raises SIGPIPE (sends use MSG_NOSIGNAL).
#include "talvex05u/platform/Thread.h"
#include "talvex05u/socket/BlockingSocket.h"
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace talvex {
constexpr std::uint16_t kTraceViewerPort = 45278;
}  // namespace talvex

class CRPCDebugStream {
public:
    struct TraceEntry {
        char name[64];   // at most 63 characters; longer names are cut
        char text[17];   // at most 16 characters; longer texts are cut
    };

    // Copies the names and starts the worker thread at once; not connected until Start.
    CRPCDebugStream(unsigned short identifier, const char* firstName, const char* secondName);
    ~CRPCDebugStream();   // sets state 3, ends and joins the worker thread, closes the socket
    CRPCDebugStream(const CRPCDebugStream&) = delete;
    // Copies the configuration: identifier, both names and the trace table (entries
    // and count). The target keeps its own connection, state, socket, viewer port
    // and worker thread, so each object still owns what it closes and joins. A
    // connected target announces the copied names on its next connection.
    CRPCDebugStream& operator=(const CRPCDebugStream& other);

    std::int32_t AddTrace(const char* name, const char* text);   // 0..31, or -1 when full
    // New non-blocking TCP socket (a previous one is closed), state 1; the worker connects.
    // Does nothing once ending (state 3).
    void Start();
    // Closes the socket and sets state 0 (nothing in state 0). Once ending, closes but keeps state 3.
    void Stop();
    // The worker thread's loop; returns 0 when the state becomes 3.
    std::uint32_t Work();
    // Formats one line (cut to 253 characters) and sends it with CR LF in one send.
    // Does nothing when traceNumber >= the trace count (signed). Not connected:
    // the line is lost; a stopped stream is started, a connect under way is left
    // alone. A failed or partial send starts the connection over.
    void Trace(std::int32_t traceNumber, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Where the stream connects (host order); tests point it at their own viewer.
    void SetViewerPort(std::uint16_t port);
    // m_nState read under the stream's lock, for threads other than the worker.
    std::int32_t GetState() const;

    TraceEntry m_Traces[32];
    unsigned short m_nIdentifier;
    char m_szFirstName[64];
    char m_szSecondName[64];
    CWinThread* m_pWorkerThread;
    std::int32_t m_nTraceCount;
    std::int32_t m_nState;            // 0 stopped, 1 connecting, 2 connected, 3 ending
    talvex::SocketHandle m_hSocket;

private:
    static std::uint32_t WorkerEntry(void* stream);
    void StartLocked();
    void StopLocked();
    void RestartLocked();             // Stop then Start: a fresh socket, state 1
    void ConnectStep();               // state 1: begin the connect, or check the one under way
    void ReceiveStep();               // state 2: read and drop what the viewer sent
    void OnConnected();               // state 2 and the header line
    bool SendWhole(const char* data, std::size_t length);   // one send; false unless all went

    mutable std::mutex m_lock;        // serialises state and socket between worker and tracers
    std::uint16_t m_nViewerPort = talvex::kTraceViewerPort;
    bool m_bConnectPending = false;   // a non-blocking connect on m_hSocket is under way
};
