#include "BenchCalls.h"

#include "BenchRawUdp.h"
#include "BenchRpc.h"

#include <string>

namespace bench {

namespace {

constexpr std::int32_t kCallTimeoutMs = 1000;
constexpr int kPacketHeaderBytes = 16;

std::string SizeName(int bytes) { return std::to_string(bytes) + " B"; }

std::int32_t WordsOf(int bytes) { return bytes / 4; }

// Datagram size of a one-packet call carrying `bytes` of data.
int DatagramBytesOf(int bytes) { return kPacketHeaderBytes + bytes; }

// The throughput plan: fewer, longer trials (each one a batch of calls).
TrialPlan BatchPlan(bool quick) {
    TrialPlan plan;
    plan.rounds = quick ? 4 : 40;
    plan.perRound = 1;
    plan.warmUp = 1;
    plan.budget = std::chrono::milliseconds(quick ? 3000 : 20000);
    return plan;
}

}  // namespace

// ---- one call -------------------------------------------------------------------------

CallTrial::CallTrial(CRP_Caller& client, std::int32_t procedure, std::int32_t words)
    : m_client(client), m_pattern(MakeCall(procedure, words)), m_block(m_pattern) {}

bool CallTrial::CallOnce() {
    const std::int32_t words = m_pattern.m_nLength;
    return m_client.CallProcedure(&m_block, kCallTimeoutMs) && m_block.m_nLength == words;
}

std::optional<double> CallTrial::Once() {
    m_block = m_pattern;
    const auto start = Clock::now();
    if (!CallOnce()) return std::nullopt;
    return MicrosSince(start);
}

std::optional<double> CallTrial::BackToBack(int count) {
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        m_block = m_pattern;   // the copy is part of a real caller's loop as well
        if (!CallOnce()) return std::nullopt;
    }
    return MicrosSince(start) / count;
}

TrialPlan LatencyPlan(bool quick) {
    TrialPlan plan;
    plan.rounds = quick ? 4 : 40;
    plan.perRound = quick ? 150 : 500;
    plan.warmUp = quick ? 50 : 200;
    plan.budget = std::chrono::milliseconds(quick ? 2500 : 30000);
    return plan;
}

bool StartLocalPair(LocalPair* pair) {
    pair->server = StartBenchServer();
    pair->client = StartBenchServer();
    if (!pair->server || !pair->client) return false;
    const unsigned short port = pair->server->GetMyUDPPort();
    pair->client->SetRemoteSocket(port, kLoopback);
    pair->client->SetMultiTarget(port, kLoopback);
    return true;
}

// ---- cases ----------------------------------------------------------------------------

void RunThreadCallCases(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results) {
    RawEcho echo(RawEcho::Answer::Mirror);
    RawClient raw(echo.Port());
    RpcEcho rpc;
    for (const int bytes : {kSmallCallBytes, kFullCallBytes}) {
        // The plain base call: the one-packet path that every caller takes.
        CRP_Caller& client = *pair.client;
        CallTrial call(client, kProcEcho, WordsOf(bytes));
        const int datagram = DatagramBytesOf(bytes);
        CaseResult versusRaw = PairedCase(
            "call " + SizeName(bytes) + ", threads", "raw UDP ping-pong " + std::to_string(datagram) + " B, threads",
            [&] { return call.Once(); }, [&] { return raw.RoundTrip(datagram); }, LatencyPlan(quick), progress);
        versusRaw.goal = Goal{1.2, "<= 1.2x raw UDP round trip"};
        results->push_back(versusRaw);

        CaseResult versusRpc;
        const std::string rpcName = "call " + SizeName(bytes) + ", threads, vs ONC RPC";
        if (!rpc.Available()) {
            versusRpc.name = rpcName;
            versusRpc.skipped = rpc.WhyUnavailable();
            progress.BeginCase(rpcName);
        } else {
            versusRpc = PairedCase(rpcName, "libtirpc UDP call " + SizeName(bytes) + ", threads",
                                   [&] { return call.Once(); }, [&] { return rpc.Call(bytes); }, LatencyPlan(quick),
                                   progress);
            versusRpc.goal = Goal{1.0, "faster than libtirpc"};
        }
        results->push_back(versusRpc);
    }
}

void RunCallsPerSecondCase(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results) {
    RawEcho echo(RawEcho::Answer::Mirror);
    RawClient raw(echo.Port());
    const int batch = quick ? 500 : 2000;
    CallTrial call(*pair.client, kProcEcho, WordsOf(kSmallCallBytes));
    const int datagram = DatagramBytesOf(kSmallCallBytes);
    CaseResult result = PairedCase(
        "calls back to back (us per call)", "raw UDP ping-pong back to back", [&] { return call.BackToBack(batch); },
        [&] { return raw.BackToBack(datagram, batch); }, BatchPlan(quick), progress);
    result.goal = Goal{1.0 / 0.8, ">= 0.8x raw round trips/s"};
    if (result.measured.median > 0 && result.referenceSummary.median > 0) {
        char text[160];
        std::snprintf(text, sizeof text, "%.0f calls/s against %.0f raw round trips/s (batches of %d)",
                      1e6 / result.measured.median, 1e6 / result.referenceSummary.median, batch);
        result.note = text;
    }
    results->push_back(result);
}

void RunProcessCallCases(unsigned short peerCallerPort, unsigned short peerRawPort, bool quick, Progress& progress,
                         std::vector<CaseResult>* results) {
    auto client = StartBenchServer();
    RawClient raw(peerRawPort);
    for (const int bytes : {kSmallCallBytes, kFullCallBytes}) {
        const std::string name = "call " + SizeName(bytes) + ", processes";
        if (!client || peerCallerPort == 0 || peerRawPort == 0) {
            CaseResult skipped;
            skipped.name = name;
            skipped.skipped = "the peer process or the local caller did not start";
            progress.BeginCase(name);
            results->push_back(skipped);
            continue;
        }
        client->SetRemoteSocket(peerCallerPort, kLoopback);
        CRP_Caller& caller = *client;
        CallTrial call(caller, kProcEcho, WordsOf(bytes));
        const int datagram = DatagramBytesOf(bytes);
        CaseResult result = PairedCase(
            name, "raw UDP ping-pong " + std::to_string(datagram) + " B, processes", [&] { return call.Once(); },
            [&] { return raw.RoundTrip(datagram); }, LatencyPlan(quick), progress);
        result.goal = Goal{1.3, "<= 1.3x raw UDP round trip"};
        results->push_back(result);
    }
}

}  // namespace bench
