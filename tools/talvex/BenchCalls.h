#pragma once
// The call cases of `talvex bench`: one-packet CallProcedure between two threads and
// between two processes beside a raw UDP ping-pong of the same datagram size (and
// beside an ONC RPC call), and back-to-back calls per second.
#include "BenchHarness.h"
#include "BenchServer.h"

#include <vector>

namespace bench {

// Data sizes of the one-packet cases, in bytes: the smallest useful call and a full packet.
constexpr int kSmallCallBytes = 16;
constexpr int kFullCallBytes = 1400;

// Times one CallProcedure of a fixed call block (restored before each trial) on a caller.
class CallTrial {
public:
    CallTrial(CRP_Caller& client, std::int32_t procedure, std::int32_t words);
    std::optional<double> Once();
    std::optional<double> BackToBack(int count);

private:
    bool CallOnce();
    CRP_Caller& m_client;
    CUdpDataBlockEx m_pattern;
    CUdpDataBlockEx m_block;
};

TrialPlan LatencyPlan(bool quick);

// The client and server callers of the in-process cases (both on 127.0.0.1).
struct LocalPair {
    std::unique_ptr<BenchServer> server;
    std::unique_ptr<BenchServer> client;
};
// Starts both and points the client (calls and chunks) at the server; false when one did not start.
bool StartLocalPair(LocalPair* pair);

void RunThreadCallCases(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results);
void RunCallsPerSecondCase(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results);
// The peer process serves a library caller on `peerCallerPort` and a raw echo on `peerRawPort`.
void RunProcessCallCases(unsigned short peerCallerPort, unsigned short peerRawPort, bool quick, Progress& progress,
                         std::vector<CaseResult>* results);

// Number of cases each function above adds, for the progress line.
constexpr int kThreadCallCaseCount = 4;
constexpr int kProcessCallCaseCount = 2;

}  // namespace bench
