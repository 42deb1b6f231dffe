#pragma once
// ServingCaller<Library>: a CRP_Caller or CRP_CallerEx whose incoming calls and
// broadcasts are answered by Python callables. The hooks run on the dispatch thread:
// they take the GIL to run the handler and let it go again before the answer is sent.
// It also carries what the binding's calls on it share: the PeerGate of its one remote
// address, the turns of pings and broadcasts, and the flag of a stop under way.
#include "Errors.h"

#include <Talvex05u.h>

#include <pybind11/pybind11.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

namespace talvexpy {

// The handlers of one Python caller, by procedure, plus one for every other
// procedure. Only touched with the GIL held.
class HandlerTable {
public:
    // handler None removes; procedure None stands for every procedure without its own.
    void Set(const pybind11::object& procedure, const pybind11::object& handler);
    // The handler for `procedure`, or None.
    pybind11::object Find(std::int32_t procedure) const;

private:
    std::map<std::int32_t, pybind11::object> m_byProcedure;
    pybind11::object m_everyProcedure;
};

// Runs the handler for `call` (GIL held) and, when it answers, turns `call` into the
// answer of at most `maxWords` words. False when the call gets no answer; failures of
// the handler are reported through the diagnostic sink.
bool BuildAnswer(const HandlerTable& handlers, CUdpDataBlockEx* call, std::int64_t maxWords);

// The library caller keeps one remote address, which SendEvent, Ping and a chunked
// CallProcedure send to; a call of one packet names its destination itself. The gate
// lets any number of threads use that address for one peer at once, and makes a thread
// with another peer wait until they are done, so nobody re-aims the address under a
// send. While a thread waits, newcomers wait too instead of joining the peer in use, so
// the waiting thread gets its turn.
class PeerGate {
public:
    // Waits (GIL released) until `peer` may be used; `aim(peer)` runs when the address
    // points elsewhere, with no other user of it.
    template <class Aim>
    void Enter(const CSockAddr& peer, Aim&& aim) {
        std::unique_lock<std::mutex> hold(m_lock);
        if (m_waiting > 0 || (m_users > 0 && !Same(peer))) {
            const std::uint64_t since = m_takings;
            ++m_waiting;
            // Free, or taken again for this same peer since this thread began to wait.
            m_changed.wait(hold, [&] { return m_users == 0 || (Same(peer) && m_takings != since); });
            --m_waiting;
        }
        if (m_users == 0) {
            ++m_takings;
            m_changed.notify_all();   // waiters for this peer may join
        }
        if (!Same(peer)) {
            aim(peer);
            m_aimed = peer;
        }
        ++m_users;
    }
    void Leave() {
        std::lock_guard<std::mutex> hold(m_lock);
        if (--m_users == 0) m_changed.notify_all();
    }
    // The peer the address points at, or none before the first aim.
    std::optional<CSockAddr> Aimed() const {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_aimed;
    }

private:
    bool Same(const CSockAddr& peer) const {
        return m_aimed && m_aimed->IPAddr() == peer.IPAddr() && m_aimed->Port() == peer.Port();
    }

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::optional<CSockAddr> m_aimed;
    int m_users = 0;
    int m_waiting = 0;
    std::uint64_t m_takings = 0;   // how often the gate was taken while free
};

// Longest answer each kind of caller can send: a plain caller's answers are pulled
// packet by packet (positions are 16-bit), an extended caller's go as chunks, and a
// broadcast answer is one packet.
constexpr std::int64_t kPlainAnswerWords = talvex::kMaxFramedWords;
constexpr std::int64_t kChunkedWords = std::int64_t{talvex::kChunkSlots} * talvex::kChunkWords;
constexpr std::int64_t kBroadcastAnswerWords = talvex::kMaxPacketDataWords;

template <class Library>
class ServingCaller final : public Library {
public:
    static constexpr bool kExtended = std::is_base_of_v<CRP_CallerEx, Library>;

    ServingCaller(unsigned short port, std::shared_ptr<const HandlerTable> handlers)
        : Library(port), m_handlers(std::move(handlers)) {}
    // Joins the dispatch thread, which may be waiting for the GIL inside a handler.
    ~ServingCaller() override {
        pybind11::gil_scoped_release released;
        this->StopDispatchThread();
    }

    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        Serve(block, kExtended ? kChunkedWords : kPlainAnswerWords, false);
    }

protected:
    void DoBroadCastFunction(CUdpDataBlockEx* block) override { Serve(block, kBroadcastAnswerWords, true); }

private:
    void Serve(CUdpDataBlockEx* block, std::int64_t maxWords, bool broadcast) {
        bool answered = false;
        {
            pybind11::gil_scoped_acquire held;
            answered = BuildAnswer(*m_handlers, block, maxWords);
        }
        if (answered) SendAnswer(block, broadcast);
    }

    void SendAnswer(CUdpDataBlockEx* block, bool broadcast) {
        try {
            if constexpr (kExtended) {
                if (!broadcast) {
                    CRP_CallerEx::SendReturn(block);
                    return;
                }
            }
            CRP_Caller::SendReturn(block);
        } catch (CBlockingSocketException* exception) {
            ReportDiagnostic(std::string("talvex05u: answer to procedure ") + std::to_string(block->m_nProcedure) +
                             " not sent: " + TakeSocketException(exception).what());
        }
    }

    std::shared_ptr<const HandlerTable> m_handlers;

public:
    // Who may use the library's remote address (see PeerGate).
    PeerGate m_peerGate;
    // Broadcasts share the library's list of answers, and pings its answer event: each
    // runs alone (never held with the GIL).
    std::mutex m_broadcastLock;
    std::mutex m_pingLock;
    // Set when stop() begins: a call that the stop released reports that, not an answer.
    std::atomic<bool> m_stopping{false};
};

}  // namespace talvexpy
