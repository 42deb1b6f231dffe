#pragma once
// A mixed call workload for lossy-wire runs: one-packet calls, chunked calls and
// chunked returns from a CRP_CallerEx client, and pulled returns from a plain
// CRP_Caller client, against servers that answer kProcMixed. The client side runs
// in a process of its own (helpers/fault_client.cpp), so that several client
// processes, each with its own reference counter starting at 1, call one server at
// the same time. Every call is judged: right answer, false, true with an empty
// answer (a lost return chunk), true with any other answer (wrong: a mix, an
// earlier call's, or another process's), or a hang beyond its time-out.
#include "caller_test_util.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace faultload {

using callertest::kLoopback;
using callertest::Pattern;
constexpr std::int32_t kProcMixed = 21;   // words: answer length, seed, then pattern words of the call

// The seed of call `call` (1, 2, ...) of the process tagged `tag` (1..127): the tag
// sits in the top byte, so every pattern word of a call and of its answer differs
// from those of the same call in another process.
inline std::int32_t CallSeed(std::int32_t tag, std::int32_t call) { return tag * 0x01000000 + call; }

// Reads a kProcMixed call and answers it: word 0 the call's length (or -1 when its
// pattern arrived damaged), then pattern words of the seed's complement.
template <typename Server>
void ServeMixedCall(Server& server, CUdpDataBlockEx* block) {
    if (block->m_nProcedure != kProcMixed) return;
    const std::int32_t length = block->m_nLength, answerWords = block->GetLongData(), seed = block->GetLongData();   // in order
    bool intact = length >= 2 && length <= block->m_nCapacity;
    for (std::int32_t i = 2; intact && i < length; ++i) intact = block->m_pData[i] == Pattern(i, seed);
    block->ResetForReturn();
    block->CheckBufferSize(answerWords);
    for (std::int32_t i = 0; i < answerWords; ++i) block->AppendLongData(i == 0 ? (intact ? length : -1) : Pattern(i, ~seed));
    server.SendReturn(block);
}

// A caller of Base that stops its dispatcher before it goes; a serving one answers kProcMixed.
template <typename Base, bool kServing>
class Caller : public Base {
public:
    ~Caller() override { this->StopDispatchThread(); }
    void DoRemoteFunction(CUdpDataBlockEx* block) override {
        if constexpr (kServing) ServeMixedCall(*this, block);
    }
};
using MixedServerEx = Caller<CRP_CallerEx, true>;
using MixedServer = Caller<CRP_Caller, true>;

enum class Kind { OnePacket, Pulled, ChunkedCall, ChunkedReturn };

struct Outcomes {
    int right = 0, returnedFalse = 0, emptyTrue = 0, wrongTrue = 0, hang = 0;
    int Total() const { return right + returnedFalse + emptyTrue + wrongTrue + hang; }
};

// One line, both for people and for ParseOutcomes.
inline std::string FormatOutcomes(const Outcomes& o) {
    std::ostringstream line;
    line << "right=" << o.right << " false=" << o.returnedFalse << " empty-true=" << o.emptyTrue
         << " wrong-true=" << o.wrongTrue << " hang=" << o.hang;
    return line.str();
}

inline bool ParseOutcomes(const std::string& text, Outcomes* o) {
    return std::sscanf(text.c_str(), "right=%d false=%d empty-true=%d wrong-true=%d hang=%d", &o->right,
                       &o->returnedFalse, &o->emptyTrue, &o->wrongTrue, &o->hang) == 5;
}

struct Settings {
    int calls = 120;
    std::int32_t tag = 1;              // 1..127, part of every call's seed and so of every pattern word
    std::uint32_t seed = 1;            // seed of the mix of kinds and lengths
    bool failOnLostReturnChunks = false;
    bool chunkedCallsOnly = false;     // otherwise all four kinds (pulled ones only with a plain server)
    std::int32_t timeoutMs = 250;
};

// How judged kProcMixed calls ended, and what the first wrong answers were.
struct Tally {
    Outcomes outcomes;
    std::vector<std::string> wrongAnswers;

    // Makes one kProcMixed call of `callWords` words for an answer of `answerWords`
    // through `caller` and counts how it ended; one that took longer than `bound` hung.
    template <typename Client>
    void Call(Client& caller, int kind, std::int32_t callWords, std::int32_t answerWords, std::int32_t seed,
              std::int32_t timeoutMs, std::chrono::milliseconds bound) {
        CUdpDataBlockEx block(kProcMixed);
        block.CheckBufferSize(callWords);
        block.AppendLongData(answerWords);
        block.AppendLongData(seed);
        for (std::int32_t i = 2; i < callWords; ++i) block.AppendLongData(Pattern(i, seed));
        const auto start = std::chrono::steady_clock::now();
        const bool answered = caller.CallProcedure(&block, timeoutMs);
        bool right = block.m_nLength == answerWords && block.m_nProcedure == kProcMixed && block.m_pData[0] == callWords;
        for (std::int32_t i = 1; right && i < answerWords; ++i) right = block.m_pData[i] == Pattern(i, ~seed);
        if (std::chrono::steady_clock::now() - start > bound) ++outcomes.hang;
        else if (!answered) ++outcomes.returnedFalse;
        else if (block.m_nLength == 0) ++outcomes.emptyTrue;
        else if (right) ++outcomes.right;
        else if (++outcomes.wrongTrue <= 10) {
            std::ostringstream line;
            line << "kind " << kind << " call " << (seed & 0xFFFFFF) << " (" << callWords << " words, answer "
                 << answerWords << "): got " << block.m_nLength << " words, procedure " << block.m_nProcedure
                 << ", word 0 = " << (block.m_nLength > 0 ? block.m_pData[0] : 0);
            wrongAnswers.push_back(line.str());
        }
    }
};

// The calling side of the workload: an extended client for one-packet and chunked
// calls and a plain client for pulled returns, each aimed at a port on loopback. The
// mix of kinds and lengths follows the seed alone, so processes given one seed make
// calls of the same shapes in the same order and so use the same reference numbers
// as long as their calls succeed alike; the words differ by the tag.
class ClientWorkload {
public:
    explicit ClientWorkload(const Settings& settings) : m_settings(settings), m_random(settings.seed) {}

    // Starts the clients; plainPort 0 leaves pulled returns out. False when a client cannot start.
    bool Start(std::uint16_t exPort, std::uint16_t plainPort) {
        m_clientEx = std::make_unique<Caller<CRP_CallerEx, false>>();
        m_clientEx->m_bFailOnLostReturnChunks = m_settings.failOnLostReturnChunks;
        // Strict processes send one chunk at a time; the others keep four in flight.
        // With chunks in flight, a late try of chunk 0 can begin the finished transfer
        // anew, and a lost answer to its completing chunk then ends the call with an
        // empty answer: the one empty-true one chunk at a time never has.
        m_clientEx->SetChunksInFlight(m_settings.failOnLostReturnChunks ? 1 : 4);
        if (!m_clientEx->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) return false;
        m_clientEx->SetMultiTarget(exPort, kLoopback);
        m_clientEx->SetRemoteSocket(exPort, kLoopback);
        if (plainPort == 0 || m_settings.chunkedCallsOnly) return true;
        m_client = std::make_unique<Caller<CRP_Caller, false>>();
        if (!m_client->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) return false;
        m_client->SetRemoteSocket(plainPort, kLoopback);
        return true;
    }

    // Makes the next `calls` calls, numbered from `firstCall` (each number gives the call its seed).
    void Run(int firstCall = 1) {
        for (int i = 0; i < m_settings.calls; ++i) RunOne(NextKind(), CallSeed(m_settings.tag, firstCall + i));
    }

    const Outcomes& Overall() const { return m_tally.outcomes; }
    const std::vector<std::string>& WrongAnswers() const { return m_tally.wrongAnswers; }

private:
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    Kind NextKind() {
        if (m_settings.chunkedCallsOnly) return Kind::ChunkedCall;
        const int drawn = Between(0, m_client ? 3 : 2);
        return m_client || drawn == 0 ? static_cast<Kind>(drawn) : static_cast<Kind>(drawn + 1);   // skip Pulled
    }

    void RunOne(Kind kind, std::int32_t seed) {
        using talvex::kChunkWords;
        using talvex::kMaxPacketDataWords;
        std::int32_t answerWords = 0, callWords = 0;
        switch (kind) {
        case Kind::OnePacket: answerWords = Between(1, kMaxPacketDataWords), callWords = Between(2, kMaxPacketDataWords); break;
        case Kind::Pulled: answerWords = Between(kMaxPacketDataWords + 1, 1000), callWords = Between(2, 40); break;
        case Kind::ChunkedCall: answerWords = Between(1, 50), callWords = Between(kMaxPacketDataWords + 1, 3 * kChunkWords); break;
        // At least four return chunks: a return whose every chunk is lost looks like a
        // genuinely empty answer and may end with true even when the client asks for
        // false; with four or more chunks at 5% loss that is rarer than 1 in 100,000.
        case Kind::ChunkedReturn: answerWords = Between(3 * kChunkWords + 1, 6 * kChunkWords), callWords = Between(2, 20); break;
        }
        // The longest a call may take: a chunked call tries every chunk up to three
        // times and then waits once more; everything else waits once.
        const std::int64_t chunks = kind == Kind::ChunkedCall ? (callWords + kChunkWords - 1) / kChunkWords : 0;
        const auto bound = std::chrono::milliseconds(m_settings.timeoutMs * (chunks * talvex::kChunkTries + 1) + 1500);
        if (kind == Kind::Pulled) m_tally.Call(*m_client, static_cast<int>(kind), callWords, answerWords, seed, m_settings.timeoutMs, bound);
        else m_tally.Call(*m_clientEx, static_cast<int>(kind), callWords, answerWords, seed, m_settings.timeoutMs, bound);
    }

    Settings m_settings;
    std::mt19937 m_random;
    std::unique_ptr<Caller<CRP_CallerEx, false>> m_clientEx;
    std::unique_ptr<Caller<CRP_Caller, false>> m_client;
    Tally m_tally;
};

// A started caller for CallEachOther, aimed at `peerPort` unless 0; nullptr when it cannot start.
inline std::unique_ptr<MixedServerEx> CallingEachOther(std::uint16_t peerPort) {
    auto caller = std::make_unique<MixedServerEx>();
    caller->m_bFailOnLostReturnChunks = true;   // a lost return chunk ends a call false, never empty
    if (!caller->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) return nullptr;
    if (peerPort != 0) caller->SetRemoteSocket(peerPort, kLoopback), caller->SetMultiTarget(peerPort, kLoopback);
    return caller;
}

// One of two processes that serve and call each other, one caller each, with their
// reference counters level: for `duration`, `caller` calls its peer for three short
// answers, then one of 35,000 words (102 return chunks), and so on, while the peer
// makes the same calls in the same order to it. Call n takes the number
// `firstReference` + 2n in both, so that one process a call ahead does not put the
// two number spaces apart for the rest of the run.
inline Tally CallEachOther(MixedServerEx& caller, std::int32_t tag, std::int32_t firstReference,
                           std::chrono::milliseconds duration) {
    Tally tally;
    const auto end = std::chrono::steady_clock::now() + duration;
    for (std::int32_t call = 1; call <= 10000 && std::chrono::steady_clock::now() < end; ++call) {
        CRP_Caller::m_nNextReferenceNumber = firstReference + 2 * call;
        tally.Call(caller, 4, 2 + call % 20, call % 4 == 0 ? 35000 : 1 + call % 300, CallSeed(tag, call), 500, std::chrono::seconds(2));
    }
    return tally;
}

}  // namespace faultload
