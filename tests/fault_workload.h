#pragma once
// A mixed call workload over a lossy relay: one-packet calls, chunked calls and
// chunked returns between two CRP_CallerEx peers, and pulled returns between two
// plain CRP_Caller peers. Every call is judged: right answer, false, true with an
// empty answer (a lost return chunk), true with a wrong answer, or a hang beyond its
// time-out. A watchdog breaks a hanging call so the run always ends.
#include "support/udp_relay.h"
#include "talvex05u/caller/RP_CallerEx.h"
#include "talvex05u/platform/Event.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>
#include <thread>

namespace faultload {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcMixed = 21;   // words: answer length, seed, then pattern words of the call

inline std::int32_t Pattern(std::int64_t index, std::int32_t seed)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * 2654435761u + static_cast<std::uint32_t>(seed));
}

// The answer to a kProcMixed call: word 0 the call's length (or -1 when its
// pattern arrived damaged), then pattern words of the seed's complement.
inline void AppendAnswer(CUdpDataBlockEx* block, std::int32_t words, std::int32_t callLength, bool callIntact,
                         std::int32_t seed)
{
    block->CheckBufferSize(words);
    for (std::int32_t i = 0; i < words; ++i)
        block->AppendLongData(i == 0 ? (callIntact ? callLength : -1) : Pattern(i, ~seed));
}

// Reads a kProcMixed call and answers it; the same for both kinds of caller.
template <typename Caller>
void ServeMixedCall(Caller& caller, CUdpDataBlockEx* block)
{
    if (block->m_nProcedure != kProcMixed)
        return;
    const std::int32_t length = block->m_nLength;
    const std::int32_t answerWords = block->GetLongData();
    const std::int32_t seed = block->GetLongData();
    bool intact = length >= 2 && length <= block->m_nCapacity;
    for (std::int32_t i = 2; intact && i < length; ++i)
        intact = block->m_pData[i] == Pattern(i, seed);
    block->ResetForReturn();
    AppendAnswer(block, answerWords, length, intact, seed);
    caller.SendReturn(block);
}

class MixedServerEx : public CRP_CallerEx {
public:
    ~MixedServerEx() override { StopDispatchThread(); }
    void DoRemoteFunction(CUdpDataBlockEx* block) override { ServeMixedCall(*this, block); }
};

class MixedServer : public CRP_Caller {
public:
    ~MixedServer() override { StopDispatchThread(); }

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override { ServeMixedCall(*this, block); }
};

class ClientEx : public CRP_CallerEx {
public:
    ~ClientEx() override { StopDispatchThread(); }
};

class Client : public CRP_Caller {
public:
    ~Client() override { StopDispatchThread(); }
};

enum class Kind { OnePacket, Pulled, ChunkedCall, ChunkedReturn };
constexpr int kKinds = 4;

inline const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::OnePacket: return "one-packet";
    case Kind::Pulled: return "pulled return";
    case Kind::ChunkedCall: return "chunked call";
    default: return "chunked return";
    }
}

// staleTrue: true with the complete answer of an earlier chunked-return call, which
// the extended caller takes when that call's last chunk arrived after the call had
// already ended (it does not compare the reassembled return's reference number).
struct Outcomes {
    int right = 0, returnedFalse = 0, emptyTrue = 0, staleTrue = 0, wrongTrue = 0, hang = 0;
    int Total() const { return right + returnedFalse + emptyTrue + staleTrue + wrongTrue + hang; }
};

inline std::ostream& operator<<(std::ostream& out, const Outcomes& o)
{
    return out << "right " << o.right << ", false " << o.returnedFalse << ", empty-true " << o.emptyTrue
               << ", stale-true " << o.staleTrue << ", wrong-true " << o.wrongTrue << ", hang " << o.hang;
}

struct Settings {
    int calls = 300;
    std::int32_t timeoutMs = 250;
    std::chrono::milliseconds slack{1500};
    testsupport::RelayFaults faults;
};

// Breaks the current call of a caller when it runs past its deadline.
class Watchdog {
public:
    Watchdog() : m_thread([this] { Run(); }) {}
    ~Watchdog()
    {
        {
            std::scoped_lock lock(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    void Arm(CRP_Caller* caller, std::chrono::steady_clock::time_point deadline)
    {
        {
            std::scoped_lock lock(m_lock);
            m_caller = caller;
            m_deadline = deadline;
            m_fired = false;
        }
        m_changed.notify_all();
    }
    // Disarms; true when the watchdog had to break the call.
    bool Disarm()
    {
        std::scoped_lock lock(m_lock);
        m_caller = nullptr;
        return m_fired;
    }

private:
    void Run()
    {
        std::unique_lock lock(m_lock);
        while (!m_stop) {
            if (m_caller == nullptr) {
                m_changed.wait(lock);
                continue;
            }
            if (m_changed.wait_until(lock, m_deadline) == std::cv_status::timeout && m_caller != nullptr) {
                m_fired = true;
                m_caller->BreakActiveCall();
                if (m_caller->m_hMultiBreakEvent != nullptr)
                    talvex::SetEvent(m_caller->m_hMultiBreakEvent);
                m_deadline += std::chrono::milliseconds(200);   // break again if the first did not end it
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

// Two peer pairs, each talking through its own relay.
class Workload {
public:
    explicit Workload(const Settings& settings) : m_settings(settings), m_random(settings.faults.seed) {}

    // Starts the four callers and the two relays; false when a caller cannot start.
    bool Start()
    {
        m_serverEx = std::make_unique<MixedServerEx>();
        m_clientEx = std::make_unique<ClientEx>();
        m_server = std::make_unique<MixedServer>();
        m_client = std::make_unique<Client>();
        for (CRP_Caller* caller : {static_cast<CRP_Caller*>(m_serverEx.get()), static_cast<CRP_Caller*>(m_clientEx.get()),
                                   static_cast<CRP_Caller*>(m_server.get()), static_cast<CRP_Caller*>(m_client.get())}) {
            if (!caller->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0))
                return false;
        }
        testsupport::RelayFaults plainFaults = m_settings.faults;
        plainFaults.seed = m_settings.faults.seed * 7 + 1;
        m_relayEx = std::make_unique<testsupport::UdpRelay>(m_serverEx->GetMyUDPPort(), m_settings.faults);
        m_relay = std::make_unique<testsupport::UdpRelay>(m_server->GetMyUDPPort(), plainFaults);
        m_clientEx->SetMultiTarget(m_relayEx->Port(), kLoopback);
        m_clientEx->SetRemoteSocket(m_relayEx->Port(), kLoopback);
        m_client->SetRemoteSocket(m_relay->Port(), kLoopback);
        return true;
    }

    // Runs the configured number of calls, kinds in a seeded random mix.
    void Run()
    {
        for (int i = 0; i < m_settings.calls; ++i) {
            const auto kind = static_cast<Kind>(std::uniform_int_distribution<int>(0, kKinds - 1)(m_random));
            RunOne(kind, i + 1);
        }
    }

    const Outcomes& Of(Kind kind) const { return m_outcomes[static_cast<int>(kind)]; }
    Outcomes Overall() const
    {
        Outcomes sum;
        for (const Outcomes& o : m_outcomes) {
            sum.right += o.right;
            sum.returnedFalse += o.returnedFalse;
            sum.emptyTrue += o.emptyTrue;
            sum.staleTrue += o.staleTrue;
            sum.wrongTrue += o.wrongTrue;
            sum.hang += o.hang;
        }
        return sum;
    }
    testsupport::RelayCounts RelayCountsEx() const { return m_relayEx->Counts(); }
    testsupport::RelayCounts RelayCountsPlain() const { return m_relay->Counts(); }

private:
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_random); }

    void RunOne(Kind kind, std::int32_t seed)
    {
        int callWords = 2, answerWords = 1;
        switch (kind) {
        case Kind::OnePacket: callWords = Between(2, talvex::kMaxPacketDataWords); answerWords = Between(1, talvex::kMaxPacketDataWords); break;
        case Kind::Pulled: callWords = Between(2, 40); answerWords = Between(talvex::kMaxPacketDataWords + 1, 1000); break;
        case Kind::ChunkedCall: callWords = Between(talvex::kMaxPacketDataWords + 1, 3 * talvex::kChunkWords); answerWords = Between(1, 50); break;
        case Kind::ChunkedReturn: callWords = Between(2, 20); answerWords = Between(talvex::kMaxPacketDataWords + 1, 4 * talvex::kChunkWords); break;
        }
        if (kind == Kind::ChunkedReturn)
            m_chunkedReturnCalls[seed] = {answerWords, callWords};
        CUdpDataBlockEx block(kProcMixed);
        block.CheckBufferSize(callWords);
        block.AppendLongData(answerWords);
        block.AppendLongData(seed);
        for (std::int32_t i = 2; i < callWords; ++i)
            block.AppendLongData(Pattern(i, seed));

        // The longest a call may take: a chunked call tries every chunk up to three
        // times and then waits once more; everything else waits once.
        const std::int64_t chunks = kind == Kind::ChunkedCall ? (callWords + talvex::kChunkWords - 1) / talvex::kChunkWords : 0;
        const auto bound = std::chrono::milliseconds(m_settings.timeoutMs * (chunks * talvex::kChunkTries + 1)) + m_settings.slack;
        CRP_Caller* caller = kind == Kind::Pulled ? static_cast<CRP_Caller*>(m_client.get()) : m_clientEx.get();
        const auto start = std::chrono::steady_clock::now();
        m_watchdog.Arm(caller, start + bound);
        const bool answered = kind == Kind::Pulled ? m_client->CallProcedure(&block, m_settings.timeoutMs)
                                                   : m_clientEx->CallProcedure(&block, m_settings.timeoutMs);
        const bool broken = m_watchdog.Disarm();
        Outcomes& outcome = m_outcomes[static_cast<int>(kind)];
        if (broken || std::chrono::steady_clock::now() - start > bound)
            ++outcome.hang;
        else if (!answered)
            ++outcome.returnedFalse;
        else if (block.m_nLength == 0)
            ++outcome.emptyTrue;
        else if (IsRightAnswer(block, answerWords, callWords, seed))
            ++outcome.right;
        else if (IsAnswerOfEarlierChunkedReturn(block, seed))
            ++outcome.staleTrue;
        else {
            ++outcome.wrongTrue;
            NoteWrongAnswer(kind, block, answerWords, callWords, seed);
        }
    }

    // Keeps a line on the first wrong answers: what was asked, what came, and of
    // which call the answer's pattern is (a stale answer names an earlier seed).
    void NoteWrongAnswer(Kind kind, const CUdpDataBlockEx& block, std::int32_t answerWords, std::int32_t callWords,
                         std::int32_t seed)
    {
        if (m_wrongAnswers.size() >= 10)
            return;
        const std::int32_t word1 = block.m_nLength > 1 ? block.m_pData[1] : 0;
        const auto answerSeed = static_cast<std::int32_t>(~(static_cast<std::uint32_t>(word1) - 2654435761u));
        std::ostringstream line;
        line << KindName(kind) << " call " << seed << " (" << callWords << " words, answer " << answerWords
             << "): got " << block.m_nLength << " words, procedure " << block.m_nProcedure << ", type "
             << block.m_nType << ", word 0 = " << (block.m_nLength > 0 ? block.m_pData[0] : 0)
             << ", pattern of call " << answerSeed;
        m_wrongAnswers.push_back(line.str());
    }

public:
    const std::vector<std::string>& WrongAnswers() const { return m_wrongAnswers; }

private:

    // The complete, intact answer of an earlier call that asked for a chunked return.
    bool IsAnswerOfEarlierChunkedReturn(const CUdpDataBlockEx& block, std::int32_t seed) const
    {
        if (block.m_nLength < 2)
            return false;
        const auto earlier = static_cast<std::int32_t>(~(static_cast<std::uint32_t>(block.m_pData[1]) - 2654435761u));
        const auto asked = m_chunkedReturnCalls.find(earlier);
        return earlier < seed && asked != m_chunkedReturnCalls.end() &&
               IsRightAnswer(block, asked->second.first, asked->second.second, earlier);
    }

    static bool IsRightAnswer(const CUdpDataBlockEx& block, std::int32_t answerWords, std::int32_t callWords,
                              std::int32_t seed)
    {
        if (block.m_nLength != answerWords || block.m_nProcedure != kProcMixed || block.m_pData[0] != callWords)
            return false;
        for (std::int32_t i = 1; i < answerWords; ++i)
            if (block.m_pData[i] != Pattern(i, ~seed))
                return false;
        return true;
    }

    Settings m_settings;
    std::mt19937 m_random;
    std::unique_ptr<MixedServerEx> m_serverEx;
    std::unique_ptr<ClientEx> m_clientEx;
    std::unique_ptr<MixedServer> m_server;
    std::unique_ptr<Client> m_client;
    std::unique_ptr<testsupport::UdpRelay> m_relayEx;
    std::unique_ptr<testsupport::UdpRelay> m_relay;
    Watchdog m_watchdog;
    Outcomes m_outcomes[kKinds];
    std::vector<std::string> m_wrongAnswers;
    std::map<std::int32_t, std::pair<std::int32_t, std::int32_t>> m_chunkedReturnCalls;   // seed: answer, call words
};

}  // namespace faultload
