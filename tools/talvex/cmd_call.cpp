// talvex call: one call to a peer's procedure, its answer printed decoded or as
// words, and the round-trip time.
#include "Address.h"
#include "CallBlock.h"
#include "ClientCaller.h"
#include "Commands.h"
#include "EchoServer.h"
#include "Json.h"
#include "Options.h"
#include "PeerProbe.h"
#include "ToolDefaults.h"
#include "ValueParser.h"

#include <Talvex05u.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>

namespace {

constexpr const char* kCommand = "call";
constexpr std::int32_t kProbeWaitMs = 200;   // how long to wait for "nothing listens" before calling
constexpr std::int32_t kDefaultTimeoutMs = talvex::tools::kDefaultCallTimeoutMs;   // as Python's call()

void PrintHelp() {
    std::printf(
        "usage: talvex call HOST:PORT PROC [VALUES...] [--timeout MS] [--read KINDS] [--plain] [--json]\n"
        "\n"
        "Calls procedure PROC on the peer at HOST:PORT with the values and prints its\n"
        "answer and the round-trip time. Exit 1 when no answer comes in time, or at once\n"
        "when the peer's system reports that nothing listens on PORT; exit 3 when no\n"
        "caller could be started here.\n"
        "  %s"
        "  --timeout MS   how long to wait for the answer (default %d; 0 waits without limit)\n"
        "  --read KINDS   decode the answer as a comma list of l f d i64 u64 s a:N b\n"
        "                 (default: print the answer's words)\n"
        "  --plain        call with a plain caller (calls of at most 350 words; long\n"
        "                 answers pulled packet by packet). Default: an extended caller,\n"
        "                 which sends long calls and takes long answers as chunks.\n"
        "  --json         print the answer as one JSON object\n",
        cli::TypedValueHelp(), kDefaultTimeoutMs);
}

struct CallSettings {
    cli::PeerAddress peer;
    std::int32_t timeout = kDefaultTimeoutMs;
    bool plain = false;
    bool decode = false;
    bool json = false;
    std::vector<cli::ReadKind> kinds;
};

// Asks the peer's system first whether anything listens there, within the
// time-out; false when nothing does. The time the question took comes off the
// call's time-out, so that a silent peer is waited for no longer than asked.
bool SomethingMayListen(CallSettings* settings) {
    const std::int32_t wait = settings->timeout == 0 ? kProbeWaitMs : std::min(kProbeWaitMs, settings->timeout);
    const auto start = std::chrono::steady_clock::now();
    cli::ProbeResult result = cli::ProbePeer(settings->peer, wait);
    if (result == cli::ProbeResult::NothingListens) return false;
    if (result == cli::ProbeResult::Unknown && settings->timeout != 0) {
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        settings->timeout = std::max<std::int32_t>(1, settings->timeout - static_cast<std::int32_t>(spent.count()));
    }
    return true;
}

// The library's line about the return chunks of the call that were lost, if any: the
// call fails then rather than print an empty answer as if it were one.
std::string g_returnChunkLoss;

void NoteReturnChunkLoss(const char* line, void*) {
    if (std::strstr(line, "return chunks") != nullptr) g_returnChunkLoss = line;
}

// Runs the call with the kind of caller asked for; true when an answer came.
// *milliseconds receives the time of the call alone (not the caller's start).
bool CallPeer(const CallSettings& settings, CUdpDataBlockEx* block, double* milliseconds, std::string* error) {
    std::unique_ptr<CRP_Caller> plain;
    std::unique_ptr<CRP_CallerEx> extended;
    CRP_Caller* caller = nullptr;
    if (settings.plain) {
        plain = std::make_unique<CRP_Caller>();
        caller = plain.get();
    } else {
        extended = std::make_unique<CRP_CallerEx>();   // ~40 MB: on the heap
        caller = extended.get();
    }
    cli::StartedCaller started(caller);
    if (!started.Start(error)) return false;
    caller->m_bFailOnLostReturnChunks = true;
    talvex::SetDiagnosticSink(&NoteReturnChunkLoss, nullptr);
    caller->SetRemoteSocket(settings.peer.port, settings.peer.hostAddress);
    if (extended) extended->SetMultiTarget(settings.peer.port, settings.peer.hostAddress);
    auto start = std::chrono::steady_clock::now();
    bool answered = extended ? extended->CallProcedure(block, settings.timeout)
                             : caller->CallProcedure(block, settings.timeout);
    *milliseconds = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    return answered;
}

void PrintAnswer(const CallSettings& settings, const CUdpDataBlockEx& answer, double milliseconds) {
    std::printf("answer from %s: procedure %d, %s, round trip %.3f ms\n", settings.peer.ToString().c_str(),
                answer.m_nProcedure, cli::Counted(cli::DataWords(answer), "word").c_str(), milliseconds);
}

// The answer as one JSON object; exit 1 when --read could not decode it.
int PrintAnswerJson(const CallSettings& settings, const CUdpDataBlockEx& answer, double milliseconds) {
    cli::JsonLine line;
    line.AddText("from", settings.peer.ToString())
        .Add("procedure", answer.m_nProcedure)
        .Add("word_count", cli::DataWords(answer))
        .Add("round_trip_ms", cli::JsonMilliseconds(milliseconds));
    std::string error;
    if (settings.decode) {
        line.Add("values", cli::DecodedJson(cli::DecodeValues(answer, settings.kinds, &error)));
        if (!error.empty()) line.AddText("error", error);
    } else {
        line.Add("words", cli::WordsJson(answer));
    }
    line.Print();
    if (error.empty()) return cli::kExitDone;
    std::fprintf(stderr, "talvex call: %s\n", error.c_str());
    return cli::kExitNoAnswer;
}

}  // namespace

int RunCall(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"timeout", true}, {"read", true}, {"plain", false}, {"json", false}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    const auto& args = options->positionals;
    if (args.size() < 2) return cli::UsageError(kCommand, "expected HOST:PORT PROC [VALUES...]");

    CallSettings settings;
    settings.plain = options->Has("plain");
    settings.json = options->Has("json");
    auto timeout = cli::ParseInteger(options->Get("timeout", std::to_string(kDefaultTimeoutMs)), 0, INT32_MAX,
                                     "--timeout", &error);
    if (!timeout) return cli::UsageError(kCommand, error);
    settings.timeout = static_cast<std::int32_t>(*timeout);
    if (options->Has("read")) {
        auto kinds = cli::ParseReadList(options->Get("read"), &error);
        if (!kinds) return cli::UsageError(kCommand, error);
        settings.kinds = std::move(*kinds);
        settings.decode = true;
    }

    CUdpDataBlockEx block;
    std::vector<std::string> callArguments(args.begin() + 1, args.end());
    std::int64_t maxWords = settings.plain ? talvex::kMaxPacketDataWords : cli::kMaxChunkedCount;
    const char* why = settings.plain ? "a plain caller sends at most 350 (drop --plain to send chunks)"
                                     : "a call takes at most 3460000";
    if (!cli::BuildCallBlock(callArguments, maxWords, why, &block, &error)) return cli::UsageError(kCommand, error);
    auto peer = cli::ParsePeerAddress(args[0], &error);
    if (!peer) return cli::UsageError(kCommand, error);
    settings.peer = *peer;
    const std::int32_t requestedTimeout = settings.timeout;
    if (!SomethingMayListen(&settings)) {
        std::fprintf(stderr, "talvex call: %s\n", cli::NothingListensText(settings.peer).c_str());
        return cli::kExitNoAnswer;
    }

    bool answered = false;
    double milliseconds = 0.0;
    try {
        answered = CallPeer(settings, &block, &milliseconds, &error);
    } catch (CBlockingSocketException* exception) {
        std::fprintf(stderr, "talvex call: %s\n", cli::TakeExceptionText(exception).c_str());
        return cli::kExitNoAnswer;
    }
    if (!answered) {
        if (!error.empty()) {   // the caller could not be started
            std::fprintf(stderr, "talvex call: %s\n", error.c_str());
            return cli::kExitCannotStart;
        }
        if (!g_returnChunkLoss.empty()) {
            std::fprintf(stderr, "talvex call: %s\n", g_returnChunkLoss.c_str());
            return cli::kExitNoAnswer;
        }
        std::fprintf(stderr, "talvex call: no answer from %s within %d ms\n", settings.peer.ToString().c_str(),
                     requestedTimeout);
        return cli::kExitNoAnswer;
    }
    if (settings.json) return PrintAnswerJson(settings, block, milliseconds);
    PrintAnswer(settings, block, milliseconds);
    if (settings.decode) return cli::PrintDecoded(block, settings.kinds, "  ") ? cli::kExitDone : cli::kExitNoAnswer;
    cli::PrintWords(block, "  ");
    return cli::kExitDone;
}
