#pragma once
// A mixed call workload for lossy-wire runs: one-packet calls, chunked calls and
// chunked returns from a CRP_CallerEx client, and pulled returns from a plain
// CRP_Caller client, against servers that answer kProcMixed. The client side runs
// in a process of its own (helpers/fault_client.cpp), so that several client
// processes, each with its own reference counter starting at 1, call one server at
// the same time. Every call is judged: right answer, false, true with an empty
// answer (a lost return chunk), true with the answer of an earlier call of the same
// process (stale), true with any other answer (wrong: a mix, or another process's),
// or a hang beyond its time-out. A watchdog breaks a hanging call so a run always ends.
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace faultload {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcMixed = 21;   // words: answer length, seed, then pattern words of the call
constexpr std::uint32_t kPatternStep = 2654435761u;

inline std::int32_t Pattern(std::int64_t index, std::int32_t seed) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * kPatternStep + static_cast<std::uint32_t>(seed));
}

// The seed of call `call` (1, 2, ...) of the process tagged `tag` (1..127): the tag
// sits in the top byte, so every pattern word of a call and of its answer differs
// from those of the same call in another process.
inline std::int32_t CallSeed(std::int32_t tag, std::int32_t call) { return tag * 0x01000000 + call; }
inline std::int32_t TagOfSeed(std::int32_t seed) { return seed >> 24; }
inline std::int32_t CallOfSeed(std::int32_t seed) { return seed & 0x00FFFFFF; }

// The seed whose answer pattern word 1 is `word1` (answers carry the seed's complement).
inline std::int32_t SeedOfAnswerWord1(std::int32_t word1) {
    return static_cast<std::int32_t>(~(static_cast<std::uint32_t>(word1) - kPatternStep));
}

// Reads a kProcMixed call and answers it: word 0 the call's length (or -1 when its
// pattern arrived damaged), then pattern words of the seed's complement.
template <typename Server>
void ServeMixedCall(Server& server, CUdpDataBlockEx* block) {
    if (block->m_nProcedure != kProcMixed) return;
    const std::int32_t length = block->m_nLength;
    const std::int32_t answerWords = block->GetLongData();
    const std::int32_t seed = block->GetLongData();
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
using ClientEx = Caller<CRP_CallerEx, false>;
using Client = Caller<CRP_Caller, false>;

enum class Kind { OnePacket, Pulled, ChunkedCall, ChunkedReturn };
constexpr int kKinds = 4;

inline const char* KindName(Kind kind) {
    switch (kind) {
    case Kind::OnePacket: return "one-packet";
    case Kind::Pulled: return "pulled-return";
    case Kind::ChunkedCall: return "chunked-call";
    default: return "chunked-return";
    }
}

struct Outcomes {
    int right = 0, returnedFalse = 0, emptyTrue = 0, staleTrue = 0, wrongTrue = 0, hang = 0;
    int Total() const { return right + returnedFalse + emptyTrue + staleTrue + wrongTrue + hang; }
    void Add(const Outcomes& o) {
        right += o.right, returnedFalse += o.returnedFalse, emptyTrue += o.emptyTrue;
        staleTrue += o.staleTrue, wrongTrue += o.wrongTrue, hang += o.hang;
    }
};

// One line, both for people and for ParseOutcomes.
inline std::string FormatOutcomes(const Outcomes& o) {
    std::ostringstream line;
    line << "right=" << o.right << " false=" << o.returnedFalse << " empty-true=" << o.emptyTrue
         << " stale-true=" << o.staleTrue << " wrong-true=" << o.wrongTrue << " hang=" << o.hang;
    return line.str();
}

inline std::ostream& operator<<(std::ostream& out, const Outcomes& o) { return out << FormatOutcomes(o); }

// Reads the counts back from `text`, which holds FormatOutcomes' line; false when it does not.
inline bool ParseOutcomes(const std::string& text, Outcomes* o) {
    return std::sscanf(text.c_str(), "right=%d false=%d empty-true=%d stale-true=%d wrong-true=%d hang=%d", &o->right,
                       &o->returnedFalse, &o->emptyTrue, &o->staleTrue, &o->wrongTrue, &o->hang) == 6;
}

struct Settings {
    int calls = 120;
    std::int32_t tag = 1;              // 1..127, part of every call's seed and so of every pattern word
    std::uint32_t seed = 1;            // seed of the mix of kinds and lengths
    bool failOnLostReturnChunks = false;
    bool chunkedCallsOnly = false;     // otherwise all four kinds (pulled ones only with a plain server)
    std::int32_t timeoutMs = 250;
    std::chrono::milliseconds slack{1500};
};

// Breaks the current call of a caller when it runs past its deadline, and again every
// 200 ms while it does not end.
class Watchdog {
public:
    Watchdog() : m_thread([this] { Run(); }) {}
    ~Watchdog() {
        Set(nullptr, {}, true);
        m_thread.join();
    }
    void Arm(CRP_Caller* caller, std::chrono::steady_clock::time_point deadline) { Set(caller, deadline, false); }
    // Disarms; true when the watchdog had to break the call.
    bool Disarm() {
        std::scoped_lock lock(m_lock);
        m_caller = nullptr;
        return m_fired;
    }

private:
    void Set(CRP_Caller* caller, std::chrono::steady_clock::time_point deadline, bool stop) {
        std::scoped_lock lock(m_lock);
        m_caller = caller, m_deadline = deadline, m_fired = false, m_stop = stop;
        m_changed.notify_all();
    }
    void Run() {
        std::unique_lock lock(m_lock);
        while (!m_stop) {
            if (m_caller == nullptr) {
                m_changed.wait(lock);
            } else if (m_changed.wait_until(lock, m_deadline) == std::cv_status::timeout && m_caller != nullptr) {
                m_fired = true;
                m_caller->BreakActiveCall();
                if (m_caller->m_hMultiBreakEvent != nullptr) talvex::SetEvent(m_caller->m_hMultiBreakEvent);
                m_deadline += std::chrono::milliseconds(200);
            }
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    CRP_Caller* m_caller = nullptr;
    std::chrono::steady_clock::time_point m_deadline;
    bool m_fired = false;
    bool m_stop = false;
    std::thread m_thread;
};

// The calling side of the workload: an extended client for one-packet and chunked
// calls and a plain client for pulled returns, each aimed at a port on loopback.
class ClientWorkload {
public:
    // The mix of kinds and lengths follows the seed alone, so processes given one seed
    // make calls of the same shapes in the same order and so use the same reference
    // numbers as long as their calls succeed alike; the words differ by the tag.
    explicit ClientWorkload(const Settings& settings) : m_settings(settings), m_random(settings.seed) {}

    // Starts the clients; plainPort 0 leaves pulled returns out. False when a client cannot start.
    bool Start(std::uint16_t exPort, std::uint16_t plainPort) {
        m_clientEx = std::make_unique<ClientEx>();
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
        m_client = std::make_unique<Client>();
        if (!m_client->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) return false;
        m_client->SetRemoteSocket(plainPort, kLoopback);
        return true;
    }

    // Runs the configured number of calls, kinds in a seeded random mix.
    void Run() {
        for (int i = 0; i < m_settings.calls; ++i) RunOne(NextKind(), CallSeed(m_settings.tag, i + 1));
    }

    bool Used(Kind kind) const { return Of(kind).Total() > 0; }
    const Outcomes& Of(Kind kind) const { return m_outcomes[static_cast<int>(kind)]; }
    Outcomes Overall() const {
        Outcomes sum;
        for (const Outcomes& o : m_outcomes) sum.Add(o);
        return sum;
    }
    const std::vector<std::string>& WrongAnswers() const { return m_wrongAnswers; }

private:
    struct Asked {
        std::int32_t answerWords, callWords;
    };

    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    Kind NextKind() {
        if (m_settings.chunkedCallsOnly) return Kind::ChunkedCall;
        const int kinds = m_client ? kKinds : kKinds - 1;
        const int drawn = Between(0, kinds - 1);
        return m_client || drawn == 0 ? static_cast<Kind>(drawn) : static_cast<Kind>(drawn + 1);   // skip Pulled
    }

    Asked Lengths(Kind kind) {
        using talvex::kChunkWords;
        using talvex::kMaxPacketDataWords;
        switch (kind) {
        case Kind::OnePacket: return {Between(1, kMaxPacketDataWords), Between(2, kMaxPacketDataWords)};
        case Kind::Pulled: return {Between(kMaxPacketDataWords + 1, 1000), Between(2, 40)};
        case Kind::ChunkedCall: return {Between(1, 50), Between(kMaxPacketDataWords + 1, 3 * kChunkWords)};
        // At least four return chunks: a return whose every chunk is lost looks like a
        // genuinely empty answer and may end with true even when the client asks for
        // false; with four or more chunks at 5% loss that is rarer than 1 in 100,000.
        default: return {Between(3 * kChunkWords + 1, 6 * kChunkWords), Between(2, 20)};
        }
    }

    // The longest a call may take: a chunked call tries every chunk up to three
    // times and then waits once more; everything else waits once.
    std::chrono::milliseconds Bound(Kind kind, std::int32_t callWords) const {
        const std::int64_t chunks =
            kind == Kind::ChunkedCall ? (callWords + talvex::kChunkWords - 1) / talvex::kChunkWords : 0;
        return std::chrono::milliseconds(m_settings.timeoutMs * (chunks * talvex::kChunkTries + 1)) + m_settings.slack;
    }

    void RunOne(Kind kind, std::int32_t seed) {
        const Asked asked = Lengths(kind);
        m_asked[seed] = asked;
        CUdpDataBlockEx block(kProcMixed);
        block.CheckBufferSize(asked.callWords);
        block.AppendLongData(asked.answerWords);
        block.AppendLongData(seed);
        for (std::int32_t i = 2; i < asked.callWords; ++i) block.AppendLongData(Pattern(i, seed));

        const auto bound = Bound(kind, asked.callWords);
        CRP_Caller* caller = kind == Kind::Pulled ? static_cast<CRP_Caller*>(m_client.get()) : m_clientEx.get();
        const auto start = std::chrono::steady_clock::now();
        m_watchdog.Arm(caller, start + bound);
        const bool answered = kind == Kind::Pulled ? m_client->CallProcedure(&block, m_settings.timeoutMs)
                                                   : m_clientEx->CallProcedure(&block, m_settings.timeoutMs);
        const bool broken = m_watchdog.Disarm();
        Outcomes& outcome = m_outcomes[static_cast<int>(kind)];
        if (broken || std::chrono::steady_clock::now() - start > bound) ++outcome.hang;
        else if (!answered) ++outcome.returnedFalse;
        else if (block.m_nLength == 0) ++outcome.emptyTrue;
        else if (IsRightAnswer(block, asked, seed)) ++outcome.right;
        else if (IsAnswerOfEarlierCall(block, seed)) ++outcome.staleTrue;
        else {
            ++outcome.wrongTrue;
            NoteWrongAnswer(kind, block, asked, seed);
        }
    }

    // Keeps a line on the first wrong answers: what was asked, what came, and of
    // which process and call the answer's pattern is.
    void NoteWrongAnswer(Kind kind, const CUdpDataBlockEx& block, const Asked& asked, std::int32_t seed) {
        if (m_wrongAnswers.size() >= 10) return;
        const std::int32_t answerSeed = SeedOfAnswerWord1(block.m_nLength > 1 ? block.m_pData[1] : 0);
        std::ostringstream line;
        line << KindName(kind) << " call " << CallOfSeed(seed) << " (" << asked.callWords << " words, answer "
             << asked.answerWords << "): got " << block.m_nLength << " words, procedure " << block.m_nProcedure
             << ", word 0 = " << (block.m_nLength > 0 ? block.m_pData[0] : 0) << ", pattern of process "
             << TagOfSeed(answerSeed) << " call " << CallOfSeed(answerSeed);
        m_wrongAnswers.push_back(line.str());
    }

    // The complete, intact answer of an earlier call of this process.
    bool IsAnswerOfEarlierCall(const CUdpDataBlockEx& block, std::int32_t seed) const {
        if (block.m_nLength < 2) return false;
        const std::int32_t earlier = SeedOfAnswerWord1(block.m_pData[1]);
        const auto asked = m_asked.find(earlier);
        return earlier < seed && asked != m_asked.end() && IsRightAnswer(block, asked->second, earlier);
    }

    static bool IsRightAnswer(const CUdpDataBlockEx& block, const Asked& asked, std::int32_t seed) {
        if (block.m_nLength != asked.answerWords || block.m_nProcedure != kProcMixed || block.m_pData[0] != asked.callWords)
            return false;
        for (std::int32_t i = 1; i < asked.answerWords; ++i)
            if (block.m_pData[i] != Pattern(i, ~seed)) return false;
        return true;
    }

    Settings m_settings;
    std::mt19937 m_random;
    std::unique_ptr<ClientEx> m_clientEx;
    std::unique_ptr<Client> m_client;
    Watchdog m_watchdog;
    Outcomes m_outcomes[kKinds];
    std::vector<std::string> m_wrongAnswers;
    std::map<std::int32_t, Asked> m_asked;   // by seed
};

}  // namespace faultload
