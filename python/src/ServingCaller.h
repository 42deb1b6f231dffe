#pragma once
// ServingCaller<Library>: a CRP_Caller or CRP_CallerEx whose incoming calls and
// broadcasts are answered by Python callables. The hooks run on the dispatch thread:
// they take the GIL to run the handler and let it go again before the answer is sent.
#include "Errors.h"

#include <Talvex05u.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <memory>
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
};

}  // namespace talvexpy
