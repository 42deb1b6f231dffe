// talvex serve: one caller that serves echo (1) and count (2) on a UDP port until
// SIGINT or SIGTERM, printing one line per call served. It binds 127.0.0.1 unless told
// otherwise: the protocol has no authentication, and a count answer is large.
#include "Address.h"
#include "BindCheck.h"
#include "Commands.h"
#include "EchoServer.h"
#include "Options.h"

#include <Talvex05u.h>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <sys/socket.h>

namespace {

constexpr const char* kCommand = "serve";

void PrintHelp() {
    std::printf(
        "usage: talvex serve --port P [--bind ADDR] [--allow CIDR[,CIDR...]] [--broadcast-port B] [--plain]\n"
        "                    [--quiet] [--no-publish]\n"
        "\n"
        "Serves on UDP port P (0 lets the system choose) until SIGINT or SIGTERM:\n"
        "  procedure 1 (echo)   answers the call's data words unchanged\n"
        "  procedure 2 (count)  takes one 32-bit n (0..3460000) and answers the words 0..n-1\n"
        "  other procedures     get no answer\n"
        "Like every caller it also opens a broadcast socket: on port B with\n"
        "--broadcast-port B, else on a port the system chooses (nobody broadcasts there).\n"
        "By default only this computer reaches it (it binds 127.0.0.1); anyone who can\n"
        "reach the port may call it, without authentication: see docs/security.md.\n"
        "The first line names the address and port bound and the broadcast socket's\n"
        "port; then one line per call (time, sender, type, procedure, reference number,\n"
        "words). Exit 3 when a port cannot be bound.\n"
        "\n"
        "  --bind ADDR          own IPv4 address to bind (default 127.0.0.1; 0.0.0.0 serves\n"
        "                       every interface)\n"
        "  --allow CIDR,...     answer only these networks, e.g. 127.0.0.0/8,10.1.0.0/16 (a\n"
        "                       bare address is a network of one); datagrams from any other\n"
        "                       address are dropped unread and counted in refused_sources\n"
        "  --broadcast-port B   open the broadcast socket on port B and answer broadcasts sent there\n"
        "  --plain              a plain caller: calls of one packet, long answers (up to\n"
        "                       32767 words) pulled packet by packet; default is an\n"
        "                       extended caller that sends long answers as chunks\n"
        "  --quiet              no line per call\n"
        "  --no-publish         keep the counters to itself (default: published for talvex stat)\n");
}

// Address the socket is bound to (port 0 when it is not bound).
sockaddr_in BoundAddress(talvex::SocketHandle socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (socket == talvex::kInvalidSocket ||
        getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return sockaddr_in{};
    return address;
}
unsigned short BoundPort(talvex::SocketHandle socket) { return ntohs(BoundAddress(socket).sin_port); }

constexpr const char* kDefaultBind = "127.0.0.1";

struct ServeSettings {
    unsigned short port = 0;
    std::string bind = kDefaultBind;
    std::string allow;   // "" allows every address
    unsigned short broadcastPort = 0;
    bool plain = false;
    bool quiet = false;
    bool publish = true;
};

// Who can reach the server, for its first line.
std::string Reach(const ServeSettings& settings, const std::string& bound) {
    std::string reach = bound == "0.0.0.0"              ? "every interface"
                        : bound.rfind("127.", 0) == 0 ? "loopback only; --bind ADDR or 0.0.0.0 for other hosts"
                                                      : "this interface only";
    if (!settings.allow.empty()) reach += "; answers only " + settings.allow;
    return reach;
}

std::unique_ptr<CRP_Caller> MakeServer(const ServeSettings& settings, cli::ServedCallObserver observer) {
    if (settings.plain) return std::make_unique<cli::EchoServerPlain>(settings.port, std::move(observer));
    return std::make_unique<cli::EchoServerEx>(settings.port, std::move(observer));
}

// Blocks SIGINT and SIGTERM in this thread (and so in the caller's threads, which
// inherit the mask) and returns the set to wait for.
sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// The tool's own line after the library's: the port in decimal and why it failed.
int CannotBind(const char* what, const std::string& address, unsigned short port) {
    std::fprintf(stderr, "talvex serve: could not bind %s %u: %s\n", what, port,
                 cli::BindFailureCause(address, port).c_str());
    return cli::kExitCannotStart;
}

int Serve(const ServeSettings& settings) {
    sigset_t stopSignals = BlockStopSignals();
    std::atomic<long> served{0};
    cli::ServedCallObserver print = cli::PrintingObserver();
    cli::ServedCallObserver observer = [&served, print, quiet = settings.quiet](const cli::ServedCall& call) {
        served.fetch_add(1, std::memory_order_relaxed);
        if (!quiet) print(call);
    };
    std::unique_ptr<CRP_Caller> server = MakeServer(settings, observer);
    if (!server->AllowPeers(settings.allow.c_str())) return cli::UsageError(kCommand, "bad --allow list '" + settings.allow + "'");
    if (!server->StartDispatchThread(0, CString(L"127.0.0.1"), settings.bind.c_str(), settings.broadcastPort)) {
        // A start without a peer fails when its port cannot be bound, or its sockets cannot be made.
        if (settings.port != 0) return CannotBind("UDP port", settings.bind, settings.port);
        std::fprintf(stderr, "talvex serve: could not start the caller (sockets or name lookup failed)\n");
        return cli::kExitCannotStart;
    }
    const sockaddr_in bound = BoundAddress(server->m_Socket.m_hSocket);
    const unsigned short port = ntohs(bound.sin_port);
    if (port == 0 || (settings.port != 0 && port != settings.port)) {
        server->StopDispatchThread();
        return CannotBind("UDP port", settings.bind, settings.port);
    }
    unsigned short broadcastPort = BoundPort(server->m_hBroadcastSocket);
    if (settings.broadcastPort != 0 && broadcastPort != settings.broadcastPort) {
        server->StopDispatchThread();
        return CannotBind("broadcast port", "", settings.broadcastPort);
    }
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &bound.sin_addr, address, sizeof address);
    std::printf("serving on %s:%u (%s caller; %s); broadcast socket on port %u (%s); SIGINT or SIGTERM stops\n",
                address, port, settings.plain ? "plain" : "extended", Reach(settings, address).c_str(), broadcastPort,
                settings.broadcastPort != 0 ? "answers broadcasts" : "system-chosen; --broadcast-port B to choose");
    std::fflush(stdout);
    // A refused page is reported by the library; serving goes on without it.
    if (settings.publish) talvex::PublishCounters();

    int received = 0;
    sigwait(&stopSignals, &received);
    server->StopDispatchThread();
    std::printf("stopped by %s after %s\n", received == SIGINT ? "SIGINT" : "SIGTERM",
                cli::Counted(served.load(), "call").c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace

int RunServe(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv,
                                     {{"port", true}, {"bind", true}, {"allow", true}, {"broadcast-port", true},
                                      {"plain", false}, {"quiet", false}, {"no-publish", false}},
                                     &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    if (!options->positionals.empty())
        return cli::UsageError(kCommand, "unexpected argument '" + options->positionals[0] + "'");
    if (!options->Has("port")) return cli::UsageError(kCommand, "--port P is required (0 lets the system choose)");

    ServeSettings settings;
    auto port = cli::ParsePort(options->Get("port"), 0, "--port", &error);
    if (!port) return cli::UsageError(kCommand, error);
    settings.port = *port;
    auto broadcastPort = cli::ParsePort(options->Get("broadcast-port", "0"), 0, "--broadcast-port", &error);
    if (!broadcastPort) return cli::UsageError(kCommand, error);
    settings.broadcastPort = *broadcastPort;
    settings.bind = options->Get("bind", kDefaultBind);
    in_addr parsed{};
    if (inet_pton(AF_INET, settings.bind.c_str(), &parsed) != 1)
        return cli::UsageError(kCommand, "bad --bind address '" + settings.bind + "' (expected a dotted IPv4 address)");
    // An empty list would let every address in: more likely an empty shell variable than meant.
    settings.allow = options->Get("allow");
    if (options->Has("allow") && settings.allow.find_first_not_of(" \t,") == std::string::npos)
        return cli::UsageError(kCommand, "--allow needs at least one network, e.g. 127.0.0.0/8");
    settings.plain = options->Has("plain");
    settings.quiet = options->Has("quiet");
    settings.publish = !options->Has("no-publish");
    return Serve(settings);
}
