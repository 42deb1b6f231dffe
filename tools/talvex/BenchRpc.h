#pragma once
// The peer-system reference of `talvex bench`: an ONC RPC echo call over UDP with
// libtirpc, the server registered without rpcbind and served by its own thread on
// loopback, the client calling the server's port directly.
#include <memory>
#include <optional>
#include <string>

namespace bench {

class RpcEcho {
public:
    RpcEcho();    // starts the server and the client; Available() tells whether they run
    ~RpcEcho();
    RpcEcho(const RpcEcho&) = delete;
    RpcEcho& operator=(const RpcEcho&) = delete;

    bool Available() const;
    std::string WhyUnavailable() const;
    // One call carrying `bytes` of opaque data, answered with the same data; its time in microseconds.
    std::optional<double> Call(int bytes);

    struct State;   // the server thread and the client handle, where libtirpc is built in

private:
    std::unique_ptr<State> m_state;
    std::string m_why;
};

}  // namespace bench
