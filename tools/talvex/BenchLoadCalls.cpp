#include "BenchLoadCalls.h"

#include "BenchRawUdp.h"

#include <algorithm>
#include <vector>

namespace bench {

namespace {

// Longest pattern answer the servers build: more than any load call asks for, far below the chunk slots.
constexpr std::int32_t kMaxPatternWords = 100000;
// A raw request: the 16-byte header of a call packet, then the short call's words.
constexpr int kRawHeaderWords = 4;
constexpr int kRawWords = kRawHeaderWords + kLoadShortWords;
// Late answers to timed-out raw requests that one exchange skips before it gives up.
constexpr int kMaxStaleAnswers = 8;

enum class Outcome { kRight, kFalse, kWrong };

// Everybody serves on and calls from loopback only.
const char* const kOwnAddress = "127.0.0.1";

bool StartOnLoopback(CRP_Caller& caller) { return caller.StartDispatchThread(0, CString(L"127.0.0.1"), kOwnAddress, 0); }

// A call block of `procedure` carrying `words`.
CUdpDataBlockEx CallBlock(std::int32_t procedure, const std::vector<std::int32_t>& words) {
    CUdpDataBlockEx block(procedure);
    block.CheckBufferSize(static_cast<std::int32_t>(words.size()));
    for (const std::int32_t word : words) block.AppendLongData(word);
    return block;
}

// True when the answer in `block` is exactly the first `words` pattern words of `seed`.
bool HoldsPattern(const CUdpDataBlockEx& block, std::int32_t seed, std::int32_t words) {
    if (block.m_nLength != words || block.m_nLength > block.m_nCapacity || block.m_pData == nullptr) return false;
    for (std::int32_t i = 0; i < words; ++i)
        if (block.m_pData[i] != PatternWord(seed, i)) return false;
    return true;
}

// One call through `caller`; its answer must be the first `answerWords` pattern words of `seed`.
// A send that failed (thrown by the library) counts as false, as CallProcedure's own failures do.
template <class Caller>
Outcome CheckedCall(Caller& caller, CUdpDataBlockEx block, std::int32_t seed, std::int32_t answerWords) {
    try {
        if (!caller.CallProcedure(&block, kLoadTimeoutMs)) return Outcome::kFalse;
    } catch (CBlockingSocketException* e) {
        e->Delete();
        return Outcome::kFalse;
    }
    return HoldsPattern(block, seed, answerWords) ? Outcome::kRight : Outcome::kWrong;
}

// A short call carries four pattern words of its seed; the echo brings them back.
Outcome ShortCall(CRP_CallerEx& caller, std::int32_t seed) {
    std::vector<std::int32_t> words(kLoadShortWords);
    for (std::int32_t i = 0; i < kLoadShortWords; ++i) words[static_cast<std::size_t>(i)] = PatternWord(seed, i);
    return CheckedCall(caller, CallBlock(kLoadEcho, words), seed, kLoadShortWords);
}

// A pattern call asks for `answerWords` pattern words of its seed.
template <class Caller>
Outcome PatternCall(Caller& caller, std::int32_t seed, std::int32_t answerWords) {
    return CheckedCall(caller, CallBlock(kLoadPattern, {seed, answerWords}), seed, answerWords);
}

Outcome LibraryCall(const LoadCallers& callers, CallKind kind, std::int32_t seed) {
    switch (kind) {
    case CallKind::kShort: return ShortCall(*callers.extended, seed);
    // The plain caller's own CallProcedure: it pulls the answer's second packet.
    case CallKind::kPulled:
        return callers.plain ? PatternCall(*callers.plain, seed, kLoadPulledWords) : Outcome::kFalse;
    case CallKind::kChunked: return PatternCall(*callers.extended, seed, kLoadChunkedWords);
    }
    return Outcome::kFalse;
}

// Counts how a call of `kind` ended, and whether it was a right answer before the deadline.
void Count(Outcome outcome, CallKind kind, Clock::time_point deadline, LoadCounts* counts) {
    Tally& tally = counts->byKind[static_cast<std::size_t>(kind)];
    switch (outcome) {
    case Outcome::kRight:
        ++tally.right;
        if (Clock::now() < deadline) ++counts->rightInTime;
        return;
    case Outcome::kFalse: ++tally.failed; return;
    case Outcome::kWrong: ++tally.wrong; return;
    }
}

// The request of raw exchange `seed`: a call header whose reference word is the seed, then the short call's words.
std::array<std::int32_t, kRawWords> RawRequest(std::int32_t seed) {
    std::array<std::int32_t, kRawWords> request{RP_CALL, kLoadEcho, seed, kLoadShortWords};
    for (std::int32_t i = 0; i < kLoadShortWords; ++i)
        request[static_cast<std::size_t>(kRawHeaderWords + i)] = PatternWord(seed, i);
    return request;
}

// One raw exchange: the request out, then its mirror back within the time-out. Answers
// to earlier requests that timed out (another reference word) are skipped.
Outcome RawExchange(UdpSocket& socket, unsigned short echoPort, std::int32_t seed) {
    const auto request = RawRequest(seed);
    const auto start = Clock::now();
    if (!socket.SendTo(request.data(), static_cast<int>(sizeof request), echoPort)) return Outcome::kFalse;
    std::array<std::int32_t, 512> answer{};
    for (int read = 0; read <= kMaxStaleAnswers; ++read) {
        const int size = socket.Receive(answer.data(), static_cast<int>(sizeof answer));
        if (size < 0 || MicrosSince(start) > kLoadTimeoutMs * 1000.0) return Outcome::kFalse;
        if (size < 12 || answer[2] != seed) continue;
        const bool same = size == static_cast<int>(sizeof request) &&
                          std::equal(request.begin(), request.end(), answer.begin());
        return same ? Outcome::kRight : Outcome::kWrong;
    }
    return Outcome::kFalse;
}

}  // namespace

std::int32_t PatternWord(std::int32_t seed, std::int32_t index) {
    // A mixing hash of both: neighbouring seeds and indexes give unrelated words, so an
    // answer meant for another call, or shifted by a packet, never passes for this one.
    std::uint32_t x = static_cast<std::uint32_t>(seed) * 0x9E3779B1u + static_cast<std::uint32_t>(index) * 0x85EBCA77u;
    x ^= x >> 16;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    return static_cast<std::int32_t>(x);
}

const char* WorkloadName(Workload workload) { return workload == Workload::kShort ? "short" : "mix"; }

const char* CallKindName(CallKind kind) {
    switch (kind) {
    case CallKind::kShort: return "short";
    case CallKind::kPulled: return "pulled";
    case CallKind::kChunked: return "chunked";
    }
    return "?";
}

CallKind KindInRotation(Workload workload, std::int64_t index) {
    if (workload == Workload::kShort) return CallKind::kShort;
    switch (index % 10) {
    case 8: return CallKind::kPulled;
    case 9: return CallKind::kChunked;
    default: return CallKind::kShort;
    }
}

void Tally::Add(const Tally& other) {
    right += other.right;
    failed += other.failed;
    wrong += other.wrong;
}

Tally LoadCounts::Total() const {
    Tally total;
    for (const Tally& tally : byKind) total.Add(tally);
    return total;
}

void LoadCounts::Add(const LoadCounts& other) {
    rightInTime += other.rightInTime;
    for (int kind = 0; kind < kCallKindCount; ++kind)
        byKind[static_cast<std::size_t>(kind)].Add(other.byKind[static_cast<std::size_t>(kind)]);
}

// ---- serving side ----------------------------------------------------------------------------

bool BuildLoadAnswer(CUdpDataBlockEx* block) {
    const std::int32_t length = block->m_nLength;
    switch (block->m_nProcedure) {
    case kLoadEcho:
        // The data words stay in the buffer: the return carries them back unchanged.
        block->ResetForReturn();
        block->m_nLength = length;
        return true;
    case kLoadPattern: {
        if (length < 2) return false;
        block->ResetReadPos();
        const std::int32_t seed = block->GetLongData();
        const std::int32_t words = block->GetLongData();
        if (words < 0 || words > kMaxPatternWords) return false;
        block->ResetForReturn();
        if (!block->CheckBufferSize(words)) return false;
        for (std::int32_t i = 0; i < words; ++i) block->AppendLongData(PatternWord(seed, i));
        return true;
    }
    default:
        return false;
    }
}

LoadServerEx::~LoadServerEx() { StopDispatchThread(); }

void LoadServerEx::DoRemoteFunction(CUdpDataBlockEx* block) {
    if (BuildLoadAnswer(block)) SendReturn(block);
}

LoadServerPlain::~LoadServerPlain() { StopDispatchThread(); }

void LoadServerPlain::DoRemoteFunction(CUdpDataBlockEx* block) {
    if (BuildLoadAnswer(block)) SendReturn(block);
}

bool LoadServers::Start() {
    extended = std::make_unique<LoadServerEx>();
    plain = std::make_unique<LoadServerPlain>();
    return StartOnLoopback(*extended) && StartOnLoopback(*plain) && extended->GetMyUDPPort() != 0 &&
           plain->GetMyUDPPort() != 0;
}

// ---- calling side ----------------------------------------------------------------------------

bool ClientCallers::Start(unsigned short extendedPort, unsigned short plainPort) {
    m_extended = std::make_unique<CRP_CallerEx>();
    if (!StartOnLoopback(*m_extended)) return false;
    m_extended->SetRemoteSocket(extendedPort, kLoopback);
    m_extended->SetMultiTarget(extendedPort, kLoopback);
    if (plainPort == 0) return true;
    m_plain = std::make_unique<CRP_Caller>();
    if (!StartOnLoopback(*m_plain)) return false;
    m_plain->SetRemoteSocket(plainPort, kLoopback);
    return true;
}

LoadCounts RunLibraryThread(const LoadCallers& callers, Workload workload, std::int32_t seedBase, int phase,
                            Clock::time_point deadline) {
    LoadCounts counts;
    for (std::int64_t call = 0; call < kMaxCallsPerThread && Clock::now() < deadline; ++call) {
        const CallKind kind = KindInRotation(workload, call + phase);
        const auto seed = static_cast<std::int32_t>(seedBase + call);
        Count(LibraryCall(callers, kind, seed), kind, deadline, &counts);
    }
    return counts;
}

LoadCounts RunRawThread(unsigned short echoPort, std::int32_t seedBase, Clock::time_point deadline) {
    LoadCounts counts;
    UdpSocket socket;
    if (!socket.IsOpen()) {
        Count(Outcome::kFalse, CallKind::kShort, deadline, &counts);
        return counts;
    }
    socket.SetReceiveTimeout(std::chrono::milliseconds(kLoadTimeoutMs));
    for (std::int64_t call = 0; call < kMaxCallsPerThread && Clock::now() < deadline; ++call)
        Count(RawExchange(socket, echoPort, static_cast<std::int32_t>(seedBase + call)), CallKind::kShort, deadline,
              &counts);
    return counts;
}

}  // namespace bench
