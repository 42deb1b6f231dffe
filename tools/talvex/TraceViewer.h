#pragma once
// TraceViewer: the listening end of debug trace streams. One poll loop serves every
// connected stream; each stream's header line names it, and every later line is
// printed with a time stamp and that name, one flushed output line per trace line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace traceviewer {

// Longest line kept per connection; the rest of a longer line is dropped.
constexpr std::size_t kMaxLineLength = 64 * 1024;
// Connections served at once (fewer when the descriptor limit is lower); further ones are closed at once.
constexpr std::size_t kMaxConnections = 1000;

// Splits a byte stream into lines ending in LF (a CR before it is dropped), keeping
// at most kMaxLineLength bytes of a line.
class LineSplitter {
public:
    // Appends bytes; complete lines are handed to `onLine(text, wasCut)`.
    template <typename OnLine>
    void Feed(const char* data, std::size_t length, OnLine&& onLine);
    // What is left after the peer closed: a last line without LF, if any.
    bool TakeRest(std::string* line);

private:
    std::string m_pending;
    bool m_cutting = false;   // the line in progress outgrew the limit; drop up to its LF
};

// The header line's fields: first name TAB second name TAB identifier.
struct StreamName {
    std::string first;
    std::string second;
    std::string identifier;
};
// Missing fields stay empty; each field is cut to 63 characters.
StreamName ParseHeaderLine(const std::string& line);

class TraceViewer {
public:
    explicit TraceViewer(std::FILE* out);
    ~TraceViewer();
    TraceViewer(const TraceViewer&) = delete;
    TraceViewer& operator=(const TraceViewer&) = delete;

    // Listens on 127.0.0.1:port (0 lets the system choose); false with a reason in *error.
    bool Listen(std::uint16_t port, std::string* error);
    std::uint16_t Port() const { return m_port; }
    // Serves streams until `stopFd` becomes readable; returns false on a poll failure.
    bool Run(int stopFd);
    // Prints one time-stamped line and flushes it.
    void Print(const std::string& text);

private:
    struct Connection {
        int fd = -1;
        std::string peer;          // "127.0.0.1:port" of the stream's socket
        bool named = false;        // header line received
        StreamName name;
        LineSplitter splitter;
    };

    void AcceptAll();
    // Reads what is there; false when the connection ended.
    bool ReadFrom(Connection& connection);
    void HandleLine(Connection& connection, const std::string& line, bool wasCut);
    void Close(Connection& connection);
    std::string Label(const Connection& connection) const;

    std::FILE* m_out;
    int m_listenFd = -1;
    std::uint16_t m_port = 0;
    std::size_t m_connectionLimit;
    std::vector<Connection> m_connections;
    std::vector<char> m_readBuffer;
};

template <typename OnLine>
void LineSplitter::Feed(const char* data, std::size_t length, OnLine&& onLine) {
    std::size_t start = 0;
    while (start < length) {
        const void* found = std::memchr(data + start, '\n', length - start);
        std::size_t end = found ? static_cast<std::size_t>(static_cast<const char*>(found) - data) : length;
        if (!m_cutting) {
            std::size_t room = kMaxLineLength - m_pending.size();
            std::size_t take = end - start < room ? end - start : room;
            m_pending.append(data + start, take);
            if (take < end - start) m_cutting = true;
        }
        if (!found) {
            if (m_cutting && !m_pending.empty()) {
                // Print what fits now, so that a stream that never ends its line is still seen.
                onLine(m_pending, true);
                m_pending.clear();
            }
            return;
        }
        if (!m_pending.empty() && m_pending.back() == '\r') m_pending.pop_back();
        if (!m_cutting || !m_pending.empty()) onLine(m_pending, m_cutting);
        m_pending.clear();
        m_cutting = false;
        start = end + 1;
    }
}

}  // namespace traceviewer
