// talvex demo: shows in one command what the library does on this computer, as a
// short transcript with timings: active peers, calls, pulled and chunked
// transfers, an event, a shared-memory call between two processes and a broadcast.
#include "Commands.h"
#include "DemoBroadcast.h"
#include "DemoSharedMemory.h"
#include "DemoSupport.h"
#include "EchoServer.h"
#include "Options.h"
#include "ValueParser.h"

#include <Talvex05u.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kCommand = "demo";
constexpr std::int32_t kCallTimeoutMs = 3000;
constexpr std::int32_t kPulledWords = 1000;
constexpr std::int32_t kChunkedWords = 100000;
constexpr std::int32_t kEventProcedure = 7;
constexpr std::uint32_t kLoopback = 0x7F000001;

void PrintHelp() {
    std::printf(
        "usage: talvex demo\n"
        "\n"
        "Shows what the library does on this computer, step by step with timings:\n"
        "two peers that see each other as active, a call, a 1000-word answer pulled\n"
        "packet by packet, 100,000 words each way as chunks, an event, a call through\n"
        "shared memory to a second process, and a broadcast inside a private network\n"
        "namespace (skipped, with the reason, where none can be made).\n"
        "Each step prints OK or FAILED; exit 0 when every step that ran passed.\n");
}

// Prints the steps as they run and remembers whether any failed.
class Transcript {
public:
    void Run(const char* title, const std::function<cli::StepReport()>& step) {
        std::int64_t start = cli::NowNanoseconds();
        cli::StepReport report;
        try {
            report = step();
        } catch (CBlockingSocketException* exception) {
            wchar_t text[256] = {};
            exception->GetErrorMessage(text, 256);
            exception->Delete();
            report = cli::StepReport::Failed("socket exception: " + Narrow(text));
        }
        double milliseconds = cli::MillisecondsSince(start);
        const char* word = report.status == cli::StepReport::Status::Passed    ? "OK    "
                           : report.status == cli::StepReport::Status::Skipped ? "SKIP  "
                                                                               : "FAILED";
        std::printf("  %s %-44s %9.1f ms  %s\n", word, title, milliseconds, report.detail.c_str());
        std::fflush(stdout);
        if (report.status == cli::StepReport::Status::Passed) ++m_passed;
        if (report.status == cli::StepReport::Status::Failed) ++m_failed;
        if (report.status == cli::StepReport::Status::Skipped) ++m_skipped;
    }

    int Finish() const {
        std::printf("%d passed, %d failed, %d skipped\n", m_passed, m_failed, m_skipped);
        return m_failed == 0 ? 0 : 1;
    }

private:
    static std::string Narrow(const wchar_t* text) {
        std::string narrow;
        for (; *text != L'\0'; ++text) narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
        return narrow;
    }
    int m_passed = 0;
    int m_failed = 0;
    int m_skipped = 0;
};

// Remembers the procedures a serving caller saw, so a step can wait for one.
class ServedLog {
public:
    cli::ServedCallObserver Observer() {
        return [this](const cli::ServedCall& served) {
            std::lock_guard<std::mutex> hold(m_lock);
            m_procedures.push_back(served.procedure);
            m_changed.notify_all();
        };
    }
    bool WaitFor(std::int32_t procedure, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_changed.wait_for(hold, limit, [&] {
            for (auto seen : m_procedures) {
                if (seen == procedure) return true;
            }
            return false;
        });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::int32_t> m_procedures;
};

// Two plain callers that are each other's peer: A calls, B serves.
struct PlainPeers {
    ServedLog servedByB;
    std::unique_ptr<cli::EchoServerPlain> a;
    std::unique_ptr<cli::EchoServerPlain> b;
};

// An extended caller that serves (server) and one that calls it (client).
struct ExtendedPeers {
    std::unique_ptr<cli::EchoServerEx> server;
    std::unique_ptr<CRP_CallerEx> client;
};

cli::StepReport StartActivePeers(PlainPeers& peers) {
    cli::HeldPort portA;
    cli::HeldPort portB;
    unsigned short a = portA.Port();
    unsigned short b = portB.Port();
    portA.Release();
    portB.Release();
    peers.a = std::make_unique<cli::EchoServerPlain>(a, nullptr);
    peers.b = std::make_unique<cli::EchoServerPlain>(b, peers.servedByB.Observer());
    peers.a->m_bFailOnLostReturnChunks = true;   // a lost answer is shown as lost, never as empty
    // Each start waits for the other's first ping answer, so both start at once.
    bool startedB = false;
    std::thread startB([&] { startedB = peers.b->StartDispatchThread(a, CString(L"127.0.0.1"), "127.0.0.1", 0); });
    bool startedA = peers.a->StartDispatchThread(b, CString(L"127.0.0.1"), "127.0.0.1", 0);
    startB.join();
    if (!startedA || !startedB || !peers.a->IsActive() || !peers.b->IsActive())
        return cli::StepReport::Failed("the peers did not answer each other's pings");
    return cli::StepReport::Passed("A on port " + std::to_string(a) + ", B on port " + std::to_string(b) +
                                   ": each answers the other's RP_PING");
}

cli::StepReport CallEcho(PlainPeers& peers) {
    CUdpDataBlockEx block(cli::kEchoProcedure);
    block.AppendLongData(42);
    block.AppendDoubleData(2.25);
    block.AppendStringData("hello");
    if (!peers.a->CallProcedure(&block, kCallTimeoutMs)) return cli::StepReport::Failed("no answer");
    char text[16] = {};
    if (block.GetLongData() != 42 || block.GetDoubleData() != 2.25 || !block.GetStringData(text, sizeof text) ||
        std::strcmp(text, "hello") != 0)
        return cli::StepReport::Failed("the answer differs from the call");
    return cli::StepReport::Passed("A called echo(42, 2.25, \"hello\") on B and got the same back");
}

cli::StepReport PullLongAnswer(PlainPeers& peers) {
    CUdpDataBlockEx block(cli::kCountProcedure);
    block.AppendLongData(kPulledWords);
    if (!peers.a->CallProcedure(&block, kCallTimeoutMs)) return cli::StepReport::Failed("no answer");
    if (!cli::IsCountAnswer(block, kPulledWords)) return cli::StepReport::Failed("the words are not 0..999");
    return cli::StepReport::Passed("count(1000): 3 packets of 350+350+300 words, two pulled with RP_NEXT_PACKET");
}

cli::StepReport SendEvent(PlainPeers& peers) {
    CUdpDataBlockEx block(kEventProcedure);
    block.AppendLongData(7);
    peers.a->SendEvent(&block);
    if (!peers.b->IsActive() || !peers.servedByB.WaitFor(kEventProcedure, std::chrono::seconds(2)))
        return cli::StepReport::Failed("B did not see the event");
    return cli::StepReport::Passed("A sent procedure 7 one way; B served it, nobody waited");
}

cli::StepReport StartExtendedPeers(ExtendedPeers& peers) {
    peers.server = std::make_unique<cli::EchoServerEx>(0, nullptr);
    peers.client = std::make_unique<CRP_CallerEx>();
    peers.client->m_bFailOnLostReturnChunks = true;   // a lost answer is shown as lost, never as empty
    if (!peers.server->StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0) ||
        !peers.client->StartDispatchThread(0, CString(L"127.0.0.1"), "127.0.0.1", 0))
        return cli::StepReport::Failed("an extended caller did not start");
    unsigned short port = cli::BoundUdpPort(*peers.server);
    peers.client->SetRemoteSocket(port, kLoopback);
    peers.client->SetMultiTarget(port, kLoopback);
    return cli::StepReport::Passed("");
}

cli::StepReport ChunkedAnswer(ExtendedPeers& peers) {
    CUdpDataBlockEx block(cli::kCountProcedure);
    block.AppendLongData(kChunkedWords);
    std::int64_t start = cli::NowNanoseconds();
    if (!peers.client->CallProcedure(&block, kCallTimeoutMs)) return cli::StepReport::Failed("no answer");
    double milliseconds = cli::MillisecondsSince(start);
    if (!cli::IsCountAnswer(block, kChunkedWords)) return cli::StepReport::Failed("the words are not 0..99999");
    return cli::StepReport::Passed("count(100000): 290 RP_MULTI_RETURN chunks sent, up to 128 ahead of their acknowledgements, " +
                                   cli::Throughput(kChunkedWords, milliseconds));
}

cli::StepReport ChunkedCall(ExtendedPeers& peers) {
    CUdpDataBlockEx block(cli::kEchoProcedure);
    for (std::int32_t i = 0; i < kChunkedWords; ++i) block.AppendLongData(i * 7 + 1);
    std::int64_t start = cli::NowNanoseconds();
    if (!peers.client->CallProcedure(&block, kCallTimeoutMs)) return cli::StepReport::Failed("no answer");
    double milliseconds = cli::MillisecondsSince(start);
    if (cli::DataWords(block) != kChunkedWords) return cli::StepReport::Failed("the echo has another length");
    for (std::int32_t i = 0; i < kChunkedWords; ++i) {
        if (block.m_pData[i] != i * 7 + 1) return cli::StepReport::Failed("word " + std::to_string(i) + " differs");
    }
    return cli::StepReport::Passed("echo of 100000 words: 290 RP_MULTI_CALL chunks there, 290 back, " +
                                   cli::Throughput(2 * static_cast<std::int64_t>(kChunkedWords), milliseconds));
}

int RunAllSteps() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::printf("talvex demo: Talvex05u on %s\n", host);
    Transcript transcript;
    PlainPeers plain;
    transcript.Run("two peers on loopback see each other", [&] { return StartActivePeers(plain); });
    if (plain.a && plain.a->IsActive()) {
        transcript.Run("a call (plain callers)", [&] { return CallEcho(plain); });
        transcript.Run("1000-word answer pulled packet by packet", [&] { return PullLongAnswer(plain); });
        transcript.Run("an event", [&] { return SendEvent(plain); });
    }
    if (plain.a) plain.a->StopDispatchThread();
    if (plain.b) plain.b->StopDispatchThread();

    ExtendedPeers extended;
    cli::StepReport started = StartExtendedPeers(extended);
    if (started.status == cli::StepReport::Status::Passed) {
        transcript.Run("100,000-word answer as chunks (extended)", [&] { return ChunkedAnswer(extended); });
        transcript.Run("100,000-word call as chunks (extended)", [&] { return ChunkedCall(extended); });
    } else {
        transcript.Run("extended callers", [&] { return started; });
    }
    if (extended.client) extended.client->StopDispatchThread();
    if (extended.server) extended.server->StopDispatchThread();

    transcript.Run("shared-memory call to a second process", [] { return cli::RunSharedMemoryStep(); });
    transcript.Run("broadcast in a private network namespace", [] { return cli::RunBroadcastStep(); });
    return transcript.Finish();
}

}  // namespace

int RunDemo(int argc, char** argv) {
    std::string error;
    auto options = cli::ParseOptions(argc, argv, {{"shm-peer", false}, {"broadcast-inside", false}}, &error);
    if (!options) return cli::UsageError(kCommand, error);
    if (options->help) {
        PrintHelp();
        return 0;
    }
    // The roles the demo re-executes itself in.
    if (options->Has("shm-peer")) return cli::RunSharedMemoryPeer(options->positionals);
    if (options->Has("broadcast-inside")) return cli::RunBroadcastInside();
    if (!options->positionals.empty())
        return cli::UsageError(kCommand, "unexpected argument '" + options->positionals[0] + "'");
    return RunAllSteps();
}
