// One side of the soak run: a CRP_CallerEx that serves the other side's calls and
// calls it in turn with mixed sizes (one packet, pulled-size answers, chunked calls
// and chunked returns) until its time is up, printing a status line every few
// seconds: calls, right answers, failures, wrong answers and resident memory.
// Usage: soak_peer <own port> <peer port> <seconds> <seed>
#include "talvex05u/caller/RP_CallerEx.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::int32_t kProcSoak = 31;   // words: answer length, seed, pattern words
constexpr std::int32_t kTimeoutMs = 500;

std::int32_t Pattern(std::int64_t index, std::int32_t seed)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(index) * 2654435761u + static_cast<std::uint32_t>(seed));
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

class SoakPeer : public CRP_CallerEx {
public:
    ~SoakPeer() override { StopDispatchThread(); }
    void DoRemoteFunction(CUdpDataBlockEx* block) override
    {
        if (block->m_nProcedure != kProcSoak) return;
        const std::int32_t length = block->m_nLength;
        const std::int32_t answerWords = block->GetLongData();
        const std::int32_t seed = block->GetLongData();
        bool intact = length >= 2 && length <= block->m_nCapacity && answerWords > 0 && answerWords <= 4000;
        for (std::int32_t i = 2; intact && i < length; ++i) intact = block->m_pData[i] == Pattern(i, seed);
        block->ResetForReturn();
        if (!intact) {
            SendReturn(block);
            return;
        }
        block->CheckBufferSize(answerWords);
        block->AppendLongData(length);
        for (std::int32_t i = 1; i < answerWords; ++i) block->AppendLongData(Pattern(i, ~seed));
        SendReturn(block);
    }
};

struct Tally {
    long calls = 0, right = 0, failed = 0, empty = 0, wrong = 0;
};

void CallOnce(SoakPeer& peer, std::mt19937& random, std::int32_t seed, Tally& tally)
{
    auto between = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    int callWords = 2, answerWords = 1;
    switch (between(0, 3)) {
    case 0: callWords = between(2, 350); answerWords = between(1, 350); break;
    case 1: callWords = between(2, 40); answerWords = between(351, 1000); break;
    case 2: callWords = between(351, 2000); answerWords = between(1, 64); break;
    default: callWords = between(2, 20); answerWords = between(351, 3000); break;
    }
    CUdpDataBlockEx block(kProcSoak);
    block.CheckBufferSize(callWords);
    block.AppendLongData(answerWords);
    block.AppendLongData(seed);
    for (std::int32_t i = 2; i < callWords; ++i) block.AppendLongData(Pattern(i, seed));
    ++tally.calls;
    if (!peer.CallProcedure(&block, kTimeoutMs)) {
        ++tally.failed;
        return;
    }
    if (block.m_nLength == 0) {
        ++tally.empty;
        return;
    }
    bool right = block.m_nLength == answerWords && block.m_pData[0] == callWords;
    for (std::int32_t i = 1; right && i < answerWords; ++i) right = block.m_pData[i] == Pattern(i, ~seed);
    ++(right ? tally.right : tally.wrong);
}

void PrintStatus(const char* what, const Tally& tally)
{
    std::printf("%s calls %ld right %ld failed %ld empty %ld wrong %ld rss_kb %ld\n", what, tally.calls, tally.right,
                tally.failed, tally.empty, tally.wrong, ResidentKilobytes());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: soak_peer <own port> <peer port> <seconds> <seed>\n");
        return 2;
    }
    const auto ownPort = static_cast<unsigned short>(std::atoi(argv[1]));
    const auto peerPort = static_cast<unsigned short>(std::atoi(argv[2]));
    const int seconds = std::atoi(argv[3]);
    const auto seed = static_cast<std::uint32_t>(std::strtoul(argv[4], nullptr, 10));

    auto peer = std::make_unique<SoakPeer>();
    peer->SetMyPort(ownPort);
    if (!peer->StartDispatchThread(0, L"127.0.0.1", "127.0.0.1", 0)) {
        std::fprintf(stderr, "soak_peer: cannot start on port %u\n", ownPort);
        return 1;
    }
    peer->SetMultiTarget(peerPort, kLoopback);
    peer->SetRemoteSocket(peerPort, kLoopback);

    std::mt19937 random(seed);
    Tally tally;
    PrintStatus("start", tally);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto nextStatus = start + std::chrono::seconds(10);
    std::int32_t callSeed = static_cast<std::int32_t>(seed) * 1000003;
    while (std::chrono::steady_clock::now() < end) {
        CallOnce(*peer, random, ++callSeed, tally);
        if (std::chrono::steady_clock::now() >= nextStatus) {
            PrintStatus("status", tally);
            nextStatus += std::chrono::seconds(10);
        }
    }
    // Keep serving a little longer, so the other side's last calls are answered.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    PrintStatus("end", tally);
    return tally.wrong == 0 ? 0 : 3;
}
