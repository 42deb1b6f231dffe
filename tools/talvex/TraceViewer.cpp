// TraceViewer: accepts trace streams on loopback and prints their lines.
#include "TraceViewer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace traceviewer {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kMaxNameLength = 63;

// "HH:MM:SS.mmm" of the local wall clock.
std::string TimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

// Replaces control characters (other than TAB) so that a stream cannot steer the terminal.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        unsigned char byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7F) c = '?';
    }
    return shown;
}

std::string PeerText(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

StreamName SplitHeaderLine(const std::string& line) {
    StreamName name;
    std::size_t firstTab = line.find('\t');
    if (firstTab == std::string::npos) {
        name.first = line;
        return name;
    }
    name.first = line.substr(0, firstTab);
    std::size_t secondTab = line.find('\t', firstTab + 1);
    if (secondTab == std::string::npos) {
        name.second = line.substr(firstTab + 1);
        return name;
    }
    name.second = line.substr(firstTab + 1, secondTab - firstTab - 1);
    name.identifier = line.substr(secondTab + 1);
    return name;
}

// How many streams fit the process's descriptor limit, keeping a few for everything
// else: accepting beyond it would fail forever and spin the poll loop.
std::size_t ConnectionLimit() {
    constexpr std::size_t kSpareDescriptors = 16;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxConnections;
    std::size_t available = limit.rlim_cur > kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 1;
    return available < kMaxConnections ? available : kMaxConnections;
}

}  // namespace

bool LineSplitter::TakeRest(std::string* line) {
    bool any = !m_pending.empty();
    if (any) {
        if (m_pending.back() == '\r') m_pending.pop_back();
        *line = m_pending;
    }
    m_pending.clear();
    m_cutting = false;
    return any;
}

StreamName ParseHeaderLine(const std::string& line) {
    StreamName name = SplitHeaderLine(line);
    // A stream's names hold at most 63 characters; anything longer is cut for display.
    for (std::string* field : {&name.first, &name.second, &name.identifier}) {
        if (field->size() > kMaxNameLength) field->resize(kMaxNameLength);
    }
    return name;
}

TraceViewer::TraceViewer(std::FILE* out) : m_out(out), m_connectionLimit(ConnectionLimit()), m_readBuffer(kReadChunk) {}

TraceViewer::~TraceViewer() {
    for (Connection& connection : m_connections) {
        if (connection.fd >= 0) ::close(connection.fd);
    }
    if (m_listenFd >= 0) ::close(m_listenFd);
}

bool TraceViewer::Listen(std::uint16_t port, std::string* error) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 64) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    socklen_t size = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    m_listenFd = fd;
    m_port = ntohs(address.sin_port);
    Print("== listening on 127.0.0.1:" + std::to_string(m_port));
    return true;
}

bool TraceViewer::Run(int stopFd) {
    std::vector<pollfd> watched;
    for (;;) {
        watched.clear();
        watched.push_back({stopFd, POLLIN, 0});
        watched.push_back({m_listenFd, POLLIN, 0});
        for (const Connection& connection : m_connections) watched.push_back({connection.fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (watched[0].revents != 0) return true;
        // Connections first, while their indices still match the poll list.
        for (std::size_t i = 0; i < m_connections.size(); ++i) {
            if (watched[i + 2].revents != 0 && !ReadFrom(m_connections[i])) Close(m_connections[i]);
        }
        std::erase_if(m_connections, [](const Connection& c) { return c.fd < 0; });
        if (watched[1].revents != 0) AcceptAll();
    }
}

void TraceViewer::AcceptAll() {
    for (;;) {
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;   // nothing more waiting (or a transient failure; poll reports again)
        if (m_connections.size() >= m_connectionLimit) {
            Print("== refused " + PeerText(peer) + ": too many streams");
            ::close(fd);
            continue;
        }
        Connection connection;
        connection.fd = fd;
        connection.peer = PeerText(peer);
        m_connections.push_back(std::move(connection));
    }
}

bool TraceViewer::ReadFrom(Connection& connection) {
    ssize_t received = ::recv(connection.fd, m_readBuffer.data(), m_readBuffer.size(), 0);
    if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (received == 0) {
        std::string rest;
        if (connection.splitter.TakeRest(&rest)) HandleLine(connection, rest, false);
        return false;
    }
    connection.splitter.Feed(m_readBuffer.data(), static_cast<std::size_t>(received),
                             [&](const std::string& line, bool wasCut) { HandleLine(connection, line, wasCut); });
    return true;
}

void TraceViewer::HandleLine(Connection& connection, const std::string& line, bool wasCut) {
    if (!connection.named) {
        connection.named = true;
        connection.name = ParseHeaderLine(line);
        Print("== " + Label(connection) + " connected from " + connection.peer);
        return;
    }
    Print(Label(connection) + " " + Printable(line) + (wasCut ? " [cut]" : ""));
}

void TraceViewer::Close(Connection& connection) {
    if (connection.named) {
        Print("== " + Label(connection) + " disconnected");
    } else {
        Print("== " + connection.peer + " disconnected before its header line");
    }
    ::close(connection.fd);
    connection.fd = -1;
}

std::string TraceViewer::Label(const Connection& connection) const {
    return Printable(connection.name.first) + "/" + Printable(connection.name.second) + " [" +
           Printable(connection.name.identifier) + "]";
}

void TraceViewer::Print(const std::string& text) {
    std::string line = TimeStamp() + " " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), m_out);
    std::fflush(m_out);
}

}  // namespace traceviewer
