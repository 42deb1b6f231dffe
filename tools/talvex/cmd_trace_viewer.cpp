// talvex trace-viewer: prints the lines of every debug trace stream that connects,
// until SIGINT or SIGTERM.
#include "Commands.h"
#include "TraceViewer.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint16_t kDefaultPort = 45278;

// Write end of the self-pipe; the signal handler writes one byte to wake the poll loop.
int g_stopPipeWrite = -1;

extern "C" void OnStopSignal(int) {
    int savedErrno = errno;
    if (g_stopPipeWrite >= 0) {
        char byte = 1;
        [[maybe_unused]] ssize_t ignored = ::write(g_stopPipeWrite, &byte, 1);
    }
    errno = savedErrno;
}

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: talvex trace-viewer [--port PORT] [--help]\n"
                 "  Listens on 127.0.0.1:PORT (default %u) for debug trace streams and prints\n"
                 "  every traced line as \"HH:MM:SS.mmm first/second [id] text\". PORT 0 lets the\n"
                 "  system choose; the first line printed names the port. Ends on SIGINT/SIGTERM.\n"
                 "  Streams reach another PORT with CRPCDebugStream::SetViewerPort(PORT) (Python:\n"
                 "  DebugStream(..., viewer_port=PORT)). Lines traced before a stream has\n"
                 "  connected are lost.\n",
                 static_cast<unsigned>(kDefaultPort));
}

bool ParsePort(const char* text, std::uint16_t* port) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || value > 65535) return false;
    *port = static_cast<std::uint16_t>(value);
    return true;
}

// Result of the command line: run with a port, or exit with a code.
struct Arguments {
    std::uint16_t port = kDefaultPort;
    int exitCode = -1;   // -1: go on and run
};

Arguments ParseArguments(int argc, char** argv) {
    Arguments parsed;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        const char* portText = nullptr;
        if (argument == "--help" || argument == "-h") {
            PrintUsage(stdout);
            parsed.exitCode = 0;
            return parsed;
        } else if (argument == "--port") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "talvex trace-viewer: --port needs a value\n");
                parsed.exitCode = 2;
                return parsed;
            }
            portText = argv[++i];
        } else if (argument.rfind("--port=", 0) == 0) {
            portText = argv[i] + 7;
        } else {
            std::fprintf(stderr, "talvex trace-viewer: unknown option '%s'\n", argv[i]);
            PrintUsage(stderr);
            parsed.exitCode = 2;
            return parsed;
        }
        if (!ParsePort(portText, &parsed.port)) {
            std::fprintf(stderr, "talvex trace-viewer: bad port '%s' (0 to 65535)\n", portText);
            parsed.exitCode = 2;
            return parsed;
        }
    }
    return parsed;
}

// Installs SIGINT/SIGTERM handlers that write to a fresh self-pipe; returns its read end.
int InstallStopSignals() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    g_stopPipeWrite = fds[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return fds[0];
}

}  // namespace

int RunTraceViewer(int argc, char** argv) {
    Arguments arguments = ParseArguments(argc, argv);
    if (arguments.exitCode >= 0) return arguments.exitCode;

    int stopFd = InstallStopSignals();
    if (stopFd < 0) {
        std::fprintf(stderr, "talvex trace-viewer: cannot create a pipe: %s\n", std::strerror(errno));
        return 1;
    }
    traceviewer::TraceViewer viewer(stdout);
    std::string error;
    if (!viewer.Listen(arguments.port, &error)) {
        std::fprintf(stderr, "talvex trace-viewer: %s\n", error.c_str());
        return 1;
    }
    if (!viewer.Run(stopFd)) {
        std::fprintf(stderr, "talvex trace-viewer: poll failed: %s\n", std::strerror(errno));
        return 1;
    }
    viewer.Print("== trace viewer stopped");
    return 0;
}
