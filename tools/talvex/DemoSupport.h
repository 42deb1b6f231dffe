#pragma once
// Pieces the steps of `talvex demo` share: the outcome of a step, a UDP port held
// free for the demo, and checks of the answers the built-in procedures give.
#include <Talvex05u.h>

#include <cstdint>
#include <string>

namespace cli {

// How one step of the demo ended, with a short readable detail.
struct StepReport {
    enum class Status { Passed, Failed, Skipped };
    Status status = Status::Failed;
    std::string detail;

    static StepReport Passed(std::string detail) { return {Status::Passed, std::move(detail)}; }
    static StepReport Failed(std::string detail) { return {Status::Failed, std::move(detail)}; }
    static StepReport Skipped(std::string detail) { return {Status::Skipped, std::move(detail)}; }
};

// A UDP port of 127.0.0.1 that the system chose and that stays taken (by a bound
// socket of this object) until Release or destruction, so that names derived from
// it are unique on this computer while the demo uses them.
class HeldPort {
public:
    HeldPort();
    ~HeldPort();
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;

    unsigned short Port() const { return m_port; }   // 0 when no port could be had
    void Release();                                  // frees the port for a caller to bind

private:
    int m_socket = -1;
    unsigned short m_port = 0;
};

// True when the block holds exactly the words 0..n-1 (the answer of count n).
bool IsCountAnswer(const CUdpDataBlockEx& block, std::int32_t n);

// Port a caller's unicast socket is bound to (0 when none).
unsigned short BoundUdpPort(const CRP_Caller& caller);

// "12.3 MB/s" for `words` moved in `milliseconds`.
std::string Throughput(std::int64_t words, double milliseconds);

// Milliseconds since `start` on the steady clock.
double MillisecondsSince(std::int64_t startNanoseconds);
std::int64_t NowNanoseconds();

}  // namespace cli
