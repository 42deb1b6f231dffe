// talvex05u.Caller and talvex05u.CallerEx: a started library caller that calls,
// pings, broadcasts and serves. Every wait runs with the GIL released, and calls from
// several threads run side by side as the library runs them: a call of one packet
// names its destination, and what goes through the library's single remote address
// (long calls, events, pings) passes the caller's PeerGate.
#include "Bindings.h"
#include "Errors.h"
#include "ServingCaller.h"
#include "ToolDefaults.h"

#include <pybind11/stl.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace talvexpy {

namespace {

constexpr std::int32_t kDefaultTimeoutMs = talvex::tools::kDefaultCallTimeoutMs;   // as `talvex call`
constexpr std::int32_t kDefaultBroadcastWaitMs = 500;

std::string Dotted(std::uint32_t hostAddress) {
    in_addr address{htonl(hostAddress)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

py::tuple AddressTuple(const CSockAddr& address) { return py::make_tuple(Dotted(address.IPAddr()), address.Port()); }

std::uint16_t CheckedPort(long long port, long long lowest, const char* what) {
    if (port < lowest || port > 65535)
        throw py::value_error(std::string(what) + ": port " + std::to_string(port) + " is not in " +
                              std::to_string(lowest) + " .. 65535");
    return static_cast<std::uint16_t>(port);
}

std::uint32_t ParseDotted(const std::string& text, const char* what) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1)
        throw py::value_error(std::string(what) + ": '" + text + "' is not a dotted IPv4 address");
    return ntohl(parsed.s_addr);
}

// A peer's host: a dotted IPv4 address, or a name resolved to its first IPv4
// address, as the talvex program resolves it.
std::uint32_t ResolveHost(const std::string& host, const char* what) {
    std::optional<std::uint32_t> address;
    {
        py::gil_scoped_release released;   // a name server may take its time
        address = talvex::ResolveIPv4(host);
    }
    if (!address) throw py::value_error(std::string(what) + ": unknown host '" + host + "'");
    return *address;
}

// ("host", port) as the peer's address; host a dotted IPv4 address or a host name.
CSockAddr ParsePeer(const py::handle& address, const char* what) {
    if (!py::isinstance<py::tuple>(address) || py::len(address) != 2 || !py::isinstance<py::str>(address[py::int_(0)]) ||
        !py::isinstance<py::int_>(address[py::int_(1)]))
        throw py::type_error(std::string(what) + ": the address must be a tuple (\"host\", port), got " +
                             std::string(py::repr(address)));
    std::string host = address[py::int_(0)].cast<std::string>();
    std::uint16_t port = CheckedPort(address[py::int_(1)].cast<long long>(), 1, what);
    return CSockAddr(ResolveHost(host, what), port);
}

// The block a call sends: a copy, marked as a call, with a procedure.
CUdpDataBlockEx CallCopy(const CUdpDataBlockEx& block, std::int64_t maxWords, const char* what, const char* bigger) {
    if (block.m_nProcedure == talvex::kNoProcedure)
        throw py::value_error(std::string(what) + ": the block names no procedure (Block(procedure=N), or set block.procedure)");
    if (block.m_nLength > maxWords)
        throw py::value_error(std::string(what) + ": the block has " + std::to_string(block.m_nLength) +
                              " words; this caller sends at most " + std::to_string(maxWords) + " words" + bigger);
    CUdpDataBlockEx copy(block);
    copy.m_nType = RP_CALL;
    return copy;
}

std::int32_t CheckedWait(long long milliseconds, const char* what) {
    if (milliseconds < 1 || milliseconds > INT32_MAX)
        throw py::value_error(std::string(what) + ": " + std::to_string(milliseconds) +
                              " ms is not a time-out (1 .. 2**31-1 ms)");
    return static_cast<std::int32_t>(milliseconds);
}

std::uint16_t BoundPort(talvex::SocketHandle socket) {
    if (socket == talvex::kInvalidSocket) return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

// Every caller object alive, so that interpreter exit stops their threads before
// Python goes away. Only touched with the GIL held.
class CallerHandleBase;
std::set<CallerHandleBase*>& LiveCallers() {
    static auto* live = new std::set<CallerHandleBase*>();
    return *live;
}

class CallerHandleBase {
public:
    CallerHandleBase() { LiveCallers().insert(this); }
    virtual ~CallerHandleBase() { LiveCallers().erase(this); }
    CallerHandleBase(const CallerHandleBase&) = delete;
    CallerHandleBase& operator=(const CallerHandleBase&) = delete;
    virtual void Stop() = 0;
};

template <class Library>
class CallerHandle final : public CallerHandleBase {
public:
    using Serving = ServingCaller<Library>;
    static constexpr bool kExtended = Serving::kExtended;
    static constexpr std::int64_t kMaxCallWords = kExtended ? kChunkedWords : talvex::kMaxPacketDataWords;

    CallerHandle(std::string ownAddress, long long ownPort, long long broadcastPort, std::string allow)
        : m_ownAddress(std::move(ownAddress)),
          m_ownPort(CheckedPort(ownPort, 0, "own_port")),
          m_broadcastPort(CheckedPort(broadcastPort, 0, "broadcast_port")),
          m_allow(std::move(allow)) {
        if (!m_ownAddress.empty()) ParseDotted(m_ownAddress, "own_address");
        // Checked here, on a caller that never starts, so a bad list fails at once.
        if (!Library().AllowPeers(m_allow.c_str())) {
            throw py::value_error("allow: '" + m_allow + "' is not a list of networks such as '127.0.0.0/8,10.1.0.0/16'");
        }
    }
    ~CallerHandle() override { Stop(); }

    void Start() {
        if (m_caller) return;
        auto caller = std::make_shared<Serving>(m_ownPort, m_handlers);   // an extended caller is ~40 MB: heap
        caller->m_bFailOnLostReturnChunks = true;   // never an empty answer for lost return chunks
        caller->AllowPeers(m_allow.c_str());
        std::string failure = RunReleased([&] { return StartLibraryCaller(*caller); });
        if (!failure.empty()) {
            PyErr_SetString(PyExc_OSError, failure.c_str());
            throw py::error_already_set();
        }
        m_caller = std::move(caller);
    }

    void Stop() override {
        if (!m_caller) return;
        std::shared_ptr<Serving> caller = std::move(m_caller);
        caller->m_stopping = true;
        // Releases the calls still waiting (they raise ConnectionAbortedError) and joins
        // the dispatch thread, which may be waiting for the GIL inside a handler.
        RunReleased([&] { caller->StopDispatchThread(); });
        m_lastCounters = caller->GetCounters();
    }

    // The library caller's counters by name: of the running caller, or as it stopped.
    py::dict Counters() const {
        const talvex::CallerCounters counters = m_caller ? m_caller->GetCounters() : m_lastCounters;
        const auto values = talvex::CounterValues(counters);
        py::dict named;
        for (std::size_t i = 0; i < values.size(); ++i) named[talvex::CounterNames()[i]] = values[i];
        return named;
    }

    CUdpDataBlockEx Call(const py::object& address, const CUdpDataBlockEx& block, long long timeoutMs) {
        std::shared_ptr<Serving> started = Started("call");
        Serving& caller = *started;
        CSockAddr peer = Remembered(ParsePeer(address, "call"));
        CUdpDataBlockEx call = CallCopy(block, kMaxCallWords, "call",
                                        kExtended ? "" : " (CallerEx sends longer calls as chunks)");
        std::int32_t timeout = CheckedWait(timeoutMs, "call");
        TakeReturnChunkLoss();
        bool answered = RunReleased([&] { return CallLibrary(caller, peer, &call, timeout); });
        if (caller.m_stopping) {
            PyErr_SetString(PyExc_ConnectionAbortedError,
                            ("call of procedure " + std::to_string(block.m_nProcedure) +
                             ": the caller was stopped while the call waited for its answer").c_str());
            throw py::error_already_set();
        }
        const std::string chunkLoss = TakeReturnChunkLoss();
        if (!answered && !chunkLoss.empty()) {
            PyErr_SetString(PyExc_TimeoutError, chunkLoss.c_str());
            throw py::error_already_set();
        }
        if (!answered) {
            PyErr_SetString(PyExc_TimeoutError,
                            ("no answer to procedure " + std::to_string(block.m_nProcedure) + " from " +
                             Dotted(peer.IPAddr()) + ":" + std::to_string(peer.Port()) + " within " +
                             std::to_string(timeout) + " ms").c_str());
            throw py::error_already_set();
        }
        return call;
    }

    void Event(const py::object& address, const CUdpDataBlockEx& block) {
        std::shared_ptr<Serving> started = Started("event");
        Serving& caller = *started;
        CSockAddr peer = Remembered(ParsePeer(address, "event"));
        CUdpDataBlockEx event = CallCopy(block, talvex::kMaxPacketDataWords, "event", " (an event is one packet)");
        RunReleased([&] {
            GatePass pass(caller, peer);
            caller.SendEvent(&event);
        });
    }

    bool Ping(const py::object& address) {
        std::shared_ptr<Serving> started = Started("ping");
        Serving& caller = *started;
        CSockAddr peer = Remembered(ParsePeer(address, "ping"));
        return RunReleased([&] {
            std::lock_guard<std::mutex> alone(caller.m_pingLock);
            GatePass pass(caller, peer);
            talvex::ResetEvent(caller.m_hPingAnswerEvent);   // forget an answer that came too late before
            caller.Ping();
            return caller.IsActive();
        });
    }

    py::list Broadcast(long long port, const CUdpDataBlockEx& block, long long waitMs) {
        std::shared_ptr<Serving> started = Started("broadcast");
        Serving& caller = *started;
        std::uint16_t destination = CheckedPort(port, 1, "broadcast");
        CUdpDataBlockEx call = CallCopy(block, talvex::kMaxPacketDataWords, "broadcast", " (a broadcast is one packet)");
        std::int32_t wait = CheckedWait(waitMs, "broadcast");
        std::vector<CBCastItem> answers = RunReleased([&] {
            std::lock_guard<std::mutex> alone(caller.m_broadcastLock);
            std::vector<CBCastItem> items;
            CBCastReturnBlock* collected = caller.BroadcastCall(destination, &call, wait);
            for (std::uint32_t i = 0; collected != nullptr && i < collected->GetSize(); ++i)
                items.push_back(*collected->GetAt(i));
            return items;
        });
        py::list result;
        for (const CBCastItem& item : answers)
            result.append(py::make_tuple(AddressTuple(item.m_addrFrom), CUdpDataBlockEx(item)));
        return result;
    }

    void Serve(const py::object& procedure, const py::object& handler) { m_handlers->Set(procedure, handler); }
    bool IsActive() const { return m_caller && m_caller->IsActive(); }
    bool IsStarted() const { return static_cast<bool>(m_caller); }
    std::uint16_t Port() const { return m_caller ? BoundPort(m_caller->m_Socket.m_hSocket) : 0; }
    std::uint16_t BroadcastPortBound() const { return m_caller ? BoundPort(m_caller->m_hBroadcastSocket) : 0; }
    const std::string& OwnAddress() const { return m_ownAddress; }

    // <talvex05u.CallerEx own_address='...' port=P peer=('a.b.c.d', port)>; peer: the last one called.
    std::string Repr() const {
        std::string peer = m_lastPeer ? "('" + Dotted(m_lastPeer->IPAddr()) + "', " + std::to_string(m_lastPeer->Port()) + ")"
                                      : "None";
        return std::string("<talvex05u.") + (kExtended ? "CallerEx" : "Caller") + " own_address='" + m_ownAddress +
               "' port=" + std::to_string(Port()) + " peer=" + peer + ">";
    }

    py::object ChunkTarget() const {
        std::optional<CSockAddr> aimed = m_caller ? m_caller->m_peerGate.Aimed() : std::nullopt;
        if (!aimed) return py::none();
        return AddressTuple(*aimed);
    }

private:
    const CSockAddr& Remembered(const CSockAddr& peer) {
        m_lastPeer = peer;
        return peer;
    }

    std::shared_ptr<Serving> Started(const char* what) const {
        if (!m_caller)
            throw py::value_error(std::string(what) + ": the caller is not started (use start() or a with block)");
        return m_caller;
    }

    // Starts with no peer (no ping thread; every call names its destination) and
    // checks that the sockets are bound where asked. Empty text on success.
    std::string StartLibraryCaller(Serving& caller) {
        std::string where = (m_ownAddress.empty() ? "0.0.0.0" : m_ownAddress) + ":" + std::to_string(m_ownPort);
        if (!caller.StartDispatchThread(0, CString(L"127.0.0.1"), m_ownAddress.c_str(), m_broadcastPort))
            return "could not start a caller on " + where + " (sockets could not be made or bound)";
        std::uint16_t bound = BoundPort(caller.m_Socket.m_hSocket);
        std::uint16_t broadcastBound = BoundPort(caller.m_hBroadcastSocket);
        if (bound == 0 || (m_ownPort != 0 && bound != m_ownPort)) {
            caller.StopDispatchThread();
            return "could not bind UDP " + where + " (port in use, or not an address of this computer)";
        }
        if (m_broadcastPort != 0 && broadcastBound != m_broadcastPort) {
            caller.StopDispatchThread();
            return "could not bind the broadcast port " + std::to_string(m_broadcastPort) + " (in use?)";
        }
        return std::string();
    }

    // Holds the caller's PeerGate for `peer`: the library's remote address (and, for an
    // extended caller, its chunk target) points at `peer` until the pass ends.
    class GatePass {
    public:
        GatePass(Serving& caller, const CSockAddr& peer) : m_gate(caller.m_peerGate) {
            m_gate.Enter(peer, [&caller](const CSockAddr& aimed) {
                caller.SetRemoteSocket(aimed.Port(), aimed.IPAddr());
                if constexpr (kExtended) caller.SetMultiTarget(aimed.Port(), aimed.IPAddr());
            });
        }
        ~GatePass() { m_gate.Leave(); }
        GatePass(const GatePass&) = delete;
        GatePass& operator=(const GatePass&) = delete;

    private:
        PeerGate& m_gate;
    };

    // A call of one packet goes straight to `peer`, beside any other; a longer call of
    // an extended caller goes as chunks to the chunk target, through the gate.
    static bool CallLibrary(Serving& caller, CSockAddr& peer, CUdpDataBlockEx* call, std::int32_t timeout) {
        if constexpr (kExtended) {
            if (call->m_nLength > talvex::kMaxPacketDataWords) {
                GatePass pass(caller, peer);
                return caller.CRP_CallerEx::CallProcedure(call, timeout);
            }
        }
        return caller.CRP_Caller::CallProcedure(&peer, call, timeout);
    }

    std::string m_ownAddress;
    std::uint16_t m_ownPort;
    std::uint16_t m_broadcastPort;
    std::string m_allow;   // the networks it talks to ("": every address)
    std::optional<CSockAddr> m_lastPeer;   // the peer of the last call, event or ping (for repr)
    std::shared_ptr<HandlerTable> m_handlers = std::make_shared<HandlerTable>();
    // Shared with the calls under way, so that stop() on another thread never frees
    // the library caller under them.
    std::shared_ptr<Serving> m_caller;
    talvex::CallerCounters m_lastCounters;   // of the library caller stopped last
};

template <class Library>
void RegisterCaller(py::module_& module, const char* name, const char* doc) {
    using Handle = CallerHandle<Library>;
    py::class_<Handle> caller(module, name, doc);
    caller
        .def(py::init<std::string, long long, long long, std::string>(), py::arg("own_address") = "",
             py::arg("own_port") = 0, py::arg("broadcast_port") = 0, py::arg("allow") = "",
             "A caller to be bound to own_address:own_port (\"\": every interface; port 0: a free\n"
             "one) and, when broadcast_port is not 0, taking broadcasts on that port. allow names\n"
             "the networks it talks to, as '127.0.0.0/8,10.1.0.0/16' (\"\": every address);\n"
             "datagrams from any other address are dropped unread and counted in refused_sources.\n"
             "Nothing is bound until start(). Raises ValueError for an address that is not dotted\n"
             "IPv4, a port outside 0 .. 65535 or a malformed allow list.")
        .def("start", &Handle::Start,
             "Binds the sockets and starts the dispatch thread that serves incoming calls; does\n"
             "nothing when started. Returns at once (no waiting for a peer). Raises OSError when\n"
             "a socket cannot be made or bound (the port is in use, or the address is not this\n"
             "computer's).")
        .def("stop", &Handle::Stop,
             "Stops the dispatch thread and closes the sockets; does nothing when not started.\n"
             "Waits for a handler that is running to return. Calls still waiting for their answer\n"
             "on other threads end at once with ConnectionAbortedError. start() may follow.")
        .def("__enter__", [](Handle& self) -> Handle& { self.Start(); return self; }, py::return_value_policy::reference,
             "start(), returning the caller.")
        .def("__exit__", [](Handle& self, const py::args&) { self.Stop(); return false; },
             "stop(); exceptions pass on.")
        .def("__repr__", &Handle::Repr)
        .def("call", &Handle::Call, py::arg("address"), py::arg("block"), py::arg("timeout_ms") = kDefaultTimeoutMs,
             "Calls the block's procedure at address (\"host\", port) and returns the answer as a\n"
             "new Block (type 2), read from its start. Waits up to timeout_ms (1 .. 2**31-1 ms) with\n"
             "the GIL released; any number of threads may call through one caller at once, each\n"
             "waiting for its own answer. The block passed in is not changed.\n"
             "Raises TimeoutError when no answer (or not all of a chunked one) comes in time,\n"
             "ConnectionAbortedError when stop() ends the wait, ValueError when the caller is not\n"
             "started, the block names no procedure, is too long, or the host does not resolve,\n"
             "TypeError for an address that is not a (str, int) tuple, talvex05u.SocketError when\n"
             "a send fails.")
        .def("event", &Handle::Event, py::arg("address"), py::arg("block"),
             "Sends the block one way to address (\"host\", port), at most 350 words; returns once it\n"
             "is sent, waiting for no answer (only, when a long call or ping to another peer is\n"
             "under way on this caller, for that to end). Raises ValueError / TypeError as call\n"
             "does, talvex05u.SocketError when the send fails.")
        .def("ping", &Handle::Ping, py::arg("address"),
             "Pings the caller at address (\"host\", port) and returns True when it answered within\n"
             "300 ms, False otherwise (waits at most that, GIL released; pings of one caller take\n"
             "turns). Also sets is_active(). Raises ValueError / TypeError for a bad address.")
        .def("broadcast", &Handle::Broadcast, py::arg("port"), py::arg("block"),
             py::arg("wait_ms") = kDefaultBroadcastWaitMs,
             "Broadcasts the block (at most 350 words) to 255.255.255.255:port, waits wait_ms with\n"
             "the GIL released and returns the answers that came meanwhile, as a list of\n"
             "((address, port), Block); [] when none did. Broadcasts of one caller take turns.\n"
             "Raises ValueError for port 0, a bad wait or block, or a caller not started.")
        .def("serve", &Handle::Serve, py::arg("procedure"), py::arg("handler"),
             "Serves `procedure` (an int; None: every procedure without a handler of its own) with\n"
             "handler(call) -> Block or None, where call is a Block holding the call's words and\n"
             "the returned Block's words become the answer (None: no answer, the caller times out).\n"
             "The handler runs on the dispatch thread with the GIL held, one call at a time; an\n"
             "exception it raises, or a return that is not a Block or None, leaves the call\n"
             "unanswered and is reported through the diagnostic handler. handler None stops\n"
             "serving the procedure. Works before start() too. Raises TypeError for a handler\n"
             "that is not callable or a procedure that is not an int or None.")
        .def("is_active", &Handle::IsActive,
             "True from start() on until a ping goes unanswered; after a ping, whether it was\n"
             "answered. False when not started.")
        .def("counters", &Handle::Counters,
             "What the caller has done since start(), as a dict by name (calls, answered,\n"
             "timed_out, events_sent, pings_sent, ...); after stop(), as it stopped.")
        .def_property_readonly("started", &Handle::IsStarted, "True between start() and stop().")
        .def_property_readonly("port", &Handle::Port, "The UDP port the caller is bound to (0 when not started).")
        .def_property_readonly("broadcast_port", &Handle::BroadcastPortBound,
                               "The port broadcasts are taken on (0 when none or not started).")
        .def_property_readonly("own_address", &Handle::OwnAddress, "The address given at construction (\"\": every interface).");
    if constexpr (Handle::kExtended) {
        caller.def_property_readonly("chunk_target", &Handle::ChunkTarget,
                                     "The (address, port) that chunks of long calls go to: the peer of the last call\n"
                                     "of more than 350 words, event or ping; None before one (or when not started).");
    }
}

}  // namespace

void RegisterCallers(py::module_& module) {
    RegisterCaller<CRP_Caller>(module, "Caller",
        "The plain caller: calls of at most 350 words (one packet); answers up to 32767 words,\n"
        "pulled packet by packet. Calls, serves (serve), pings, sends events and broadcasts.\n"
        "Use it started: `with Caller(...) as c:` or start()/stop(). Any number of threads may\n"
        "call through one caller at once; every wait releases the GIL.");
    RegisterCaller<CRP_CallerEx>(module, "CallerEx",
        "The extended caller: calls and answers of any length (up to 3460000 words), longer\n"
        "ones travelling as chunks. Otherwise as Caller (not a subclass of it). Any number of\n"
        "threads may call through one caller at once; long calls, events and pings to\n"
        "different peers take turns, since the library sends them to one address at a time.");
    module.def("publish_counters", &talvex::PublishCounters,
               "Keeps the counters of every caller of the process where `talvex stat` reads them\n"
               "(a page only this user can read). Returns False when the page cannot be made.");
    module.add_object("_stop_callers", py::cpp_function([] {
        std::vector<CallerHandleBase*> live(LiveCallers().begin(), LiveCallers().end());
        for (CallerHandleBase* caller : live) caller->Stop();
    }));
    py::module_::import("atexit").attr("register")(module.attr("_stop_callers"));
}

}  // namespace talvexpy
