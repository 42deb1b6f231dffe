#pragma once
// The serving callers of `talvex serve` and `talvex demo`: procedure 1 (echo)
// answers the call's data words unchanged, procedure 2 (count) answers n words
// 0..n-1, and every other procedure gets no answer. Broadcasts are served alike.
#include <Talvex05u.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cli {

constexpr std::int32_t kEchoProcedure = 1;
constexpr std::int32_t kCountProcedure = 2;
// Longest count answer an extended caller sends (as chunks the peer can reassemble).
constexpr std::int32_t kMaxChunkedCount = 3460000;
// Longest count answer pulled packet by packet (packet positions are 16-bit).
constexpr std::int32_t kMaxPulledCount = 32767;

// What a serving caller did with one incoming call, event or broadcast.
struct ServedCall {
    std::string from;              // "address:port", or "shared memory"
    std::int32_t type = 0;
    std::int32_t procedure = 0;
    std::int32_t reference = 0;
    std::int32_t words = 0;        // data words received
    std::int32_t answerWords = -1; // -1: not answered
    std::string note;              // why there was no answer, or what was special
};
// Told about every served call, on the thread that served it.
using ServedCallObserver = std::function<void(const ServedCall&)>;

// One line for the log of `talvex serve`: time, sender, type, procedure, reference, words.
std::string FormatServedCall(const ServedCall& served);
// An observer that prints FormatServedCall lines to standard output, flushed.
ServedCallObserver PrintingObserver();

// The built-in procedures, shared by both serving callers.
class EchoProcedures {
public:
    // Turns the received block into its answer (ResetForReturn, then the answer's
    // words). False when the call gets no answer; served->note says why.
    bool BuildAnswer(CUdpDataBlockEx* block, std::int32_t maxCount, ServedCall* served);

private:
    bool BuildEcho(CUdpDataBlockEx* block, ServedCall* served);
    bool BuildCount(CUdpDataBlockEx* block, std::int32_t maxCount, ServedCall* served);

    std::mutex m_lock;                     // the telegram and dispatch threads may serve at once
    std::vector<std::int32_t> m_arguments; // the call's words while the block becomes the answer
};

// The serving extended caller: long calls arrive reassembled, long answers leave as chunks.
class EchoServerEx : public CRP_CallerEx {
public:
    EchoServerEx(unsigned short port, ServedCallObserver observer);
    void DoRemoteFunction(CUdpDataBlockEx* block) override;
    // Switches the shared-memory mode on, and the log to name it as the sender.
    void EnableSharedMemoryServing();

protected:
    void DoBroadCastFunction(CUdpDataBlockEx* block) override;

private:
    EchoProcedures m_procedures;
    ServedCallObserver m_observer;
    // Read on the telegram thread, so kept apart from the library's plain flag.
    std::atomic<bool> m_servingSharedMemory{false};
};

// The serving plain caller: calls of one packet; long answers are pulled packet by packet.
class EchoServerPlain : public CRP_Caller {
public:
    EchoServerPlain(unsigned short port, ServedCallObserver observer);

protected:
    void DoRemoteFunction(CUdpDataBlockEx* block) override;
    void DoBroadCastFunction(CUdpDataBlockEx* block) override;

private:
    EchoProcedures m_procedures;
    ServedCallObserver m_observer;
};

// Name of a message type for logs ("call", "chunked call", "broadcast", ...).
const char* MessageTypeName(std::int32_t type);

}  // namespace cli
