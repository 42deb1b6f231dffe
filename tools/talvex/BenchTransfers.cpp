#include "BenchTransfers.h"

#include "BenchRawUdp.h"
#include "BenchServer.h"
#include "caller/DatagramSeam.h"

#include <cstring>
#include <memory>

namespace bench {

namespace {

constexpr std::int32_t kMebibyteWords = static_cast<std::int32_t>(kMebibyte / 4);
constexpr std::int32_t kPulledWords = 32767;   // the longest block that packet framing carries
constexpr std::int32_t kLargestWords = talvex::kChunkSlots * talvex::kChunkWords;   // 3,460,000
constexpr std::int32_t kTransferTimeoutMs = 5000;

TrialPlan TransferPlan(bool quick, int rounds = 30) {
    TrialPlan plan;
    plan.rounds = quick ? 4 : rounds;
    plan.perRound = 1;
    plan.warmUp = 1;
    plan.budget = std::chrono::milliseconds(quick ? 4000 : 40000);
    return plan;
}

// Times CRP_CallerEx::CallProcedure of `call` (restored before each trial); the answer must hold `answerWords` words.
class TransferTrial {
public:
    TransferTrial(CRP_CallerEx& client, CUdpDataBlockEx call, std::int32_t answerWords, bool plainCall)
        : m_client(client), m_pattern(std::move(call)), m_answerWords(answerWords), m_plainCall(plainCall) {}

    std::optional<double> Once() {
        ++m_tries;
        m_block = m_pattern;
        const auto start = Clock::now();
        const bool answered = m_plainCall ? m_client.CRP_Caller::CallProcedure(&m_block, kTransferTimeoutMs)
                                          : m_client.CallProcedure(&m_block, kTransferTimeoutMs);
        const double micros = MicrosSince(start);
        if (!answered || m_block.m_nLength != m_answerWords) return std::nullopt;
        ++m_completed;
        return micros;
    }

    // Trials so far, and those whose answer came complete.
    int Tries() const { return m_tries; }
    int Completed() const { return m_completed; }

private:
    int m_tries = 0;
    int m_completed = 0;
    CRP_CallerEx& m_client;
    CUdpDataBlockEx m_pattern;
    CUdpDataBlockEx m_block;
    std::int32_t m_answerWords;
    bool m_plainCall;
};

CaseResult TransferCase(const std::string& name, TransferTrial& trial, std::int64_t bytes, RawClient& raw,
                        bool quick, Progress& progress, int rounds = 30) {
    CaseResult result;
    result.name = name;
    result.reference = "raw UDP stop-and-wait, 1416 B datagrams";
    result.bytesPerTrial = static_cast<double>(bytes);
    progress.BeginCase(name);
    MeasureInterleaved([&] { return trial.Once(); }, [&] { return raw.StopAndWait(bytes); }, TransferPlan(quick, rounds),
                       progress, &result.measured, &result.referenceSummary);
    return result;
}

// Feeds call chunks straight into a caller's per-datagram logic, answers discarded:
// transfers of ten chunks, every fifth left open by dropping its last chunk, so the
// index holds both finished and unfinished transfers as a long-lived caller's does.
class ChunkFeeder : public talvex::DatagramSink {
public:
    explicit ChunkFeeder(CRP_CallerEx& caller) : m_caller(caller), m_packet(4 + 4 + talvex::kChunkWords, 0) {
        talvex::DatagramSeam::InstallSink(m_caller, this);
    }
    ~ChunkFeeder() override { talvex::DatagramSeam::InstallSink(m_caller, nullptr); }
    ChunkFeeder(const ChunkFeeder&) = delete;
    ChunkFeeder& operator=(const ChunkFeeder&) = delete;

    void OnSend(const std::int32_t*, int, const CSockAddr&) override {}

    void Feed(std::int64_t chunks) {
        for (std::int64_t i = 0; i < chunks; ++i) FeedOne();
    }

    // Microseconds per chunk over `chunks` chunks.
    double TimePerChunk(int chunks) {
        const auto start = Clock::now();
        Feed(chunks);
        return MicrosSince(start) / chunks;
    }

private:
    static constexpr std::int32_t kChunksPerTransfer = 10;

    void FeedOne() {
        const bool dropLast = m_reference % 5 == 0 && m_index == kChunksPerTransfer - 1;
        if (!dropLast) {
            m_packet[0] = RP_MULTI_CALL;
            m_packet[1] = kProcEmpty;
            m_packet[2] = m_reference;
            m_packet[3] = 350 | (350 << 16);
            m_packet[4] = m_reference;
            m_packet[5] = kChunksPerTransfer;
            m_packet[6] = m_index;
            m_packet[7] = talvex::kChunkBytes;
            talvex::DatagramSeam::Handle(m_caller, m_packet.data(), kFullDatagramBytes, m_sender);
        }
        if (++m_index == kChunksPerTransfer) {
            m_index = 0;
            ++m_reference;
        }
    }

    CRP_CallerEx& m_caller;
    std::vector<std::int32_t> m_packet;
    CSockAddr m_sender{kLoopback, 40000};
    std::int32_t m_reference = 1;
    std::int32_t m_index = 0;
};

// A caller that serves nothing (completed transfers reach an empty DoRemoteFunction),
// its chunk stores touched once so that page faults do not count as chunk cost.
std::unique_ptr<CRP_CallerEx> FreshChunkReceiver() {
    auto caller = std::make_unique<CRP_CallerEx>();
    std::memset(caller->m_abyCallChunkStore.data(), 0, caller->m_abyCallChunkStore.size());
    return caller;
}

}  // namespace

void RunTransferCases(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results) {
    RawEcho echo(RawEcho::Answer::Acknowledge);
    RawClient raw(echo.Port());
    CRP_CallerEx& client = *pair.client;

    TransferTrial chunkedCall(client, MakeCall(kProcLength, kMebibyteWords), 1, false);
    CaseResult call = TransferCase("1 MiB chunked call", chunkedCall, kMebibyte, raw, quick, progress);
    call.goal = Goal{1.0 / 1.2, ">= 1.2x raw throughput"};
    results->push_back(call);

    TransferTrial chunkedReturn(client, MakeCall(kProcChunked, 1, kMebibyteWords), kMebibyteWords, false);
    CaseResult returned = TransferCase("1 MiB chunked return", chunkedReturn, kMebibyte, raw, quick, progress);

    TransferTrial pulled(client, MakeCall(kProcPulled, 1, kPulledWords), kPulledWords, true);
    CaseResult pulledResult =
        TransferCase("32767-word pulled return", pulled, std::int64_t{kPulledWords} * 4, raw, quick, progress);

    // How often a whole 1 MiB return arrives (its chunks come as bursts with no flow
    // control); counted last, so its traffic does not run into the timed cases.
    const int completeness = quick ? 20 : 200;
    TransferTrial counted(client, MakeCall(kProcChunked, 1, kMebibyteWords), kMebibyteWords, false);
    for (int trial = 0; trial < completeness; ++trial) counted.Once();
    returned.note = std::to_string(counted.Completed()) + " of " + std::to_string(counted.Tries()) +
                    " trials complete (goal: >= 99%)";
    results->push_back(returned);
    results->push_back(pulledResult);

    // The longest answer the protocol allows, whole or not, in 20 trials.
    TransferTrial largest(client, MakeCall(kProcChunked, 1, kLargestWords), kLargestWords, false);
    CaseResult largestResult = TransferCase("largest chunked return, 3,460,000 words", largest,
                                            std::int64_t{kLargestWords} * 4, raw, quick, progress, 20);
    largestResult.note = std::to_string(largest.Completed()) + " of " + std::to_string(largest.Tries()) +
                         " trials complete (goal: >= 99%)";
    results->push_back(largestResult);
}

void RunChunkHistoryCase(bool quick, Progress& progress, std::vector<CaseResult>* results) {
    const std::int64_t history = quick ? 20000 : 100000;
    constexpr int kWindow = 1000;
    const int trials = quick ? 5 : 31;
    CaseResult result;
    result.name = "chunk cost after " + std::to_string(history / 1000) + "k chunks";
    result.reference = "chunk cost, first 1,000 chunks";
    result.goal = Goal{1.2, "ratio <= 1.2"};
    progress.BeginCase(result.name);

    auto aged = FreshChunkReceiver();
    ChunkFeeder agedFeeder(*aged);
    agedFeeder.Feed(history);
    progress.Advance(0.5);
    std::vector<double> early;
    std::vector<double> late;
    // Interleaved: a fresh receiver's first chunks, then the aged receiver's next ones.
    for (int trial = 0; trial < trials; ++trial) {
        auto fresh = FreshChunkReceiver();
        ChunkFeeder freshFeeder(*fresh);
        early.push_back(freshFeeder.TimePerChunk(kWindow));
        late.push_back(agedFeeder.TimePerChunk(kWindow));
        progress.Advance(0.5 + 0.5 * (trial + 1) / trials);
    }
    result.measured = Summarise(late, 0);
    result.referenceSummary = Summarise(early, 0);
    result.note = "per chunk, medians of " + std::to_string(trials) + " windows of 1,000 chunks; the aged caller's " +
                  "chunk index holds " + std::to_string(aged->m_mapChunks.size()) + " entries";
    results->push_back(result);
}

}  // namespace bench
