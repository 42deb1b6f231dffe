#pragma once
// The serving caller of `talvex bench`: a CRP_CallerEx whose procedures answer the
// way each measured case needs (echo, length, long answers, empty answers).
#include <Talvex05u.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace bench {

enum BenchProcedure : std::int32_t {
    kProcEcho = 1,      // answers the call's own data words
    kProcLength = 2,    // answers one word: the call's length in words
    kProcChunked = 3,   // answers N words (N = first word) with CRP_CallerEx::SendReturn: chunks past 350
    kProcPulled = 4,    // answers N words with CRP_Caller::SendReturn: the caller pulls the packets
    kProcEmpty = 5,     // answers nothing (a return of length 0)
};

class BenchServer : public CRP_CallerEx {
public:
    BenchServer() = default;
    explicit BenchServer(unsigned short myPort) : CRP_CallerEx(myPort) {}
    ~BenchServer() override;
    BenchServer(const BenchServer&) = delete;
    BenchServer& operator=(const BenchServer&) = delete;

    void DoRemoteFunction(CUdpDataBlockEx* block) override;

    std::atomic<std::int64_t> m_nServed{0};

private:
    void AnswerWords(CUdpDataBlockEx* block, std::int32_t words, bool pulled);
};

// A started serving caller on 127.0.0.1 (port chosen by the system), or null.
std::unique_ptr<BenchServer> StartBenchServer(unsigned short broadcastPort = 0);

// A call block of procedure `procedure` holding `words` data words, the first being `first`.
CUdpDataBlockEx MakeCall(std::int32_t procedure, std::int32_t words, std::int32_t first = 0);

}  // namespace bench
