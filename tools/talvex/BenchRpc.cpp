#include "BenchRpc.h"

#include "BenchHarness.h"

#if TALVEX_HAVE_TIRPC

#include <rpc/rpc.h>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

constexpr rpcprog_t kProgram = 0x20054321;   // in the range for temporary programs
constexpr rpcvers_t kVersion = 1;
constexpr rpcproc_t kProcEcho = 1;
constexpr u_int kMaxPayload = 2048;

// An opaque byte string over a fixed buffer, so that decoding never allocates.
struct Payload {
    char* bytes;
    u_int length;
};

bool_t EncodePayload(XDR* xdrs, Payload* payload) {
    return xdr_bytes(xdrs, &payload->bytes, &payload->length, kMaxPayload);
}

// libtirpc takes every coder as the one variadic xdrproc_t type; the cast goes through a plain function pointer.
template <typename Coder>
xdrproc_t AsXdrProc(Coder coder) {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

// The server's receive buffer; the dispatch runs on the server thread only.
thread_local std::vector<char> g_serverBuffer(kMaxPayload);

void Dispatch(svc_req* request, SVCXPRT* transport) {
    if (request->rq_proc == NULLPROC) {
        svc_sendreply(transport, AsXdrProc(xdr_void), nullptr);
        return;
    }
    if (request->rq_proc != kProcEcho) {
        svcerr_noproc(transport);
        return;
    }
    Payload payload{g_serverBuffer.data(), 0};
    if (!svc_getargs(transport, AsXdrProc(EncodePayload), reinterpret_cast<char*>(&payload))) {
        svcerr_decode(transport);
        return;
    }
    svc_sendreply(transport, AsXdrProc(EncodePayload), reinterpret_cast<char*>(&payload));
}

}  // namespace

struct RpcEcho::State {
    int serverSocket = -1;
    SVCXPRT* transport = nullptr;
    CLIENT* client = nullptr;
    std::atomic<bool> stop{false};
    std::thread server;
    std::vector<char> out = std::vector<char>(kMaxPayload, 'x');
    std::vector<char> in = std::vector<char>(kMaxPayload, 0);

    void Serve() {
        pollfd descriptor{serverSocket, POLLIN, 0};
        while (!stop) {
            if (::poll(&descriptor, 1, 100) <= 0) continue;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(serverSocket, &set);
            svc_getreqset(&set);
        }
    }

    ~State() {
        stop = true;
        if (server.joinable()) server.join();
        if (client) clnt_destroy(client);
        // Destroying the transport closes its socket; svc_unregister is not called, it would ask rpcbind.
        if (transport) svc_destroy(transport);
    }
};

RpcEcho::RpcEcho() : m_state(std::make_unique<State>()) {
    State& s = *m_state;
    s.serverSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (s.serverSocket < 0 || ::bind(s.serverSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(s.serverSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        m_why = "libtirpc server socket could not be bound";
        return;
    }
    s.transport = svcudp_create(s.serverSocket);
    // Protocol 0: the program is known to this process only, nothing goes to rpcbind.
    if (s.transport == nullptr || !svc_register(s.transport, kProgram, kVersion, Dispatch, 0)) {
        m_why = "libtirpc server could not be created";
        return;
    }
    s.server = std::thread([&s] { s.Serve(); });
    int clientSocket = RPC_ANYSOCK;
    timeval retry{0, 500000};
    s.client = clntudp_create(&address, kProgram, kVersion, retry, &clientSocket);
    if (s.client == nullptr) m_why = "libtirpc client could not be created";
}

RpcEcho::~RpcEcho() = default;

bool RpcEcho::Available() const { return m_why.empty(); }

std::string RpcEcho::WhyUnavailable() const { return m_why; }

std::optional<double> RpcEcho::Call(int bytes) {
    State& s = *m_state;
    Payload request{s.out.data(), static_cast<u_int>(bytes)};
    Payload answer{s.in.data(), 0};
    timeval timeout{1, 0};
    const auto start = Clock::now();
    const clnt_stat status = clnt_call(s.client, kProcEcho, AsXdrProc(EncodePayload),
                                       reinterpret_cast<char*>(&request), AsXdrProc(EncodePayload),
                                       reinterpret_cast<char*>(&answer), timeout);
    const double micros = MicrosSince(start);
    if (status != RPC_SUCCESS || answer.length != static_cast<u_int>(bytes)) return std::nullopt;
    return micros;
}

}  // namespace bench

#else   // built without libtirpc

namespace bench {

struct RpcEcho::State {};

RpcEcho::RpcEcho() : m_why("libtirpc not available") {}
RpcEcho::~RpcEcho() = default;
bool RpcEcho::Available() const { return false; }
std::string RpcEcho::WhyUnavailable() const { return m_why; }
std::optional<double> RpcEcho::Call(int) { return std::nullopt; }

}  // namespace bench

#endif
