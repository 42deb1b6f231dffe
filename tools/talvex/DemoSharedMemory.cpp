#include "DemoSharedMemory.h"

#include "EchoServer.h"
#include "Options.h"
#include "Subprocess.h"
#include "ValueParser.h"

#include <Talvex05u.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace cli {

namespace {

constexpr int kRegionBytes = 1 << 20;              // room for calls and answers of ~260,000 words
constexpr std::int32_t kCallTimeoutMs = 2000;
constexpr int kTimedCalls = 200;
constexpr auto kPeerStartLimit = std::chrono::seconds(10);

// A temporary directory for the region files, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/talvex-demo-XXXXXX";
        if (mkdtemp(pattern) != nullptr) m_path = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

CString WidePath(const std::string& path) { return CString(std::wstring(path.begin(), path.end())); }

// A key for the channel's lock and mappings that no other demo run uses now.
int ChannelKey() { return 0x10000000 + static_cast<int>(getpid() % 0x00FFFFFF) * 4; }

// Closes the calling side's channel when the step ends, however it ends.
struct ChannelGuard {
    CRP_CallerEx* caller;
    ~ChannelGuard() { caller->UnInitSharedMemory(); }
};

StepReport CallThroughChannel(CRP_CallerEx& caller) {
    CUdpDataBlockEx echo(kEchoProcedure);
    echo.AppendLongData(42);
    echo.AppendStringData("through shared memory");
    if (!caller.CallProcedure(&echo, kCallTimeoutMs)) return StepReport::Failed("the echo call got no answer");
    char text[64] = {};
    if (echo.GetLongData() != 42 || !echo.GetStringData(text, sizeof text) ||
        std::string(text) != "through shared memory")
        return StepReport::Failed("the echo came back changed");

    CUdpDataBlockEx count(kCountProcedure);
    count.AppendLongData(1000);
    if (!caller.CallProcedure(&count, kCallTimeoutMs) || !IsCountAnswer(count, 1000))
        return StepReport::Failed("count 1000 did not come back as 0..999");

    std::int64_t start = NowNanoseconds();
    for (int i = 0; i < kTimedCalls; ++i) {
        CUdpDataBlockEx call(kEchoProcedure);
        call.AppendLongData(i);
        if (!caller.CallProcedure(&call, kCallTimeoutMs) || call.GetLongData() != i)
            return StepReport::Failed("call " + std::to_string(i) + " of the timed run failed");
    }
    double perCall = MillisecondsSince(start) * 1000.0 / kTimedCalls;
    char detail[160];
    std::snprintf(detail, sizeof detail, "echo and a 1000-word answer through the regions; %.1f us per call (%d calls)",
                  perCall, kTimedCalls);
    return StepReport::Passed(detail);
}

}  // namespace

StepReport RunSharedMemoryStep() {
    TemporaryDirectory directory;
    if (directory.Path().empty()) return StepReport::Failed("cannot make a temporary directory");
    std::string base = directory.Path() + "/channel";
    HeldPort ownPort;    // held: the channel's signal names derive from the stored ports
    HeldPort peerPort;
    int key = ChannelKey();
    auto caller = std::make_unique<CRP_CallerEx>(ownPort.Port());
    if (!caller->InitSharedMemory(WidePath(base), kRegionBytes, key, true))
        return StepReport::Failed("InitSharedMemory failed on the calling side");
    ChannelGuard guard{caller.get()};

    Subprocess peer;
    std::string error;
    std::vector<std::string> args = {"talvex", "demo", "--shm-peer", directory.Path(), std::to_string(key),
                                     std::to_string(peerPort.Port()), std::to_string(kRegionBytes)};
    if (!peer.Start(Subprocess::SelfPath(), args, &error)) return StepReport::Failed(error);
    std::string line;
    if (!peer.ReadLine(&line, kPeerStartLimit) || line.rfind("ready ", 0) != 0)
        return StepReport::Failed("the peer process did not get ready" + (line.empty() ? "" : ": " + line));
    caller->m_nPeerThreadId = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 6, nullptr, 10));
    caller->EnableSharedMemory();

    StepReport report = CallThroughChannel(*caller);
    caller->DisableSharedMemory();
    peer.CloseInput();
    std::string said;   // what the peer printed while it ended, for the report
    while (said.empty() && peer.ReadLine(&line, std::chrono::seconds(10))) said = line;
    int status = peer.Wait(std::chrono::seconds(10));
    if (status != 0 && report.status == StepReport::Status::Passed)
        return StepReport::Failed("the peer process ended with status " + std::to_string(status) +
                                  (said.empty() ? "" : ": " + said));
    report.detail = "pid " + std::to_string(getpid()) + " called pid " + std::to_string(peer.Pid()) + ": " + report.detail;
    return report;
}

int RunSharedMemoryPeer(const std::vector<std::string>& args) {
    std::string error;
    if (args.size() != 4) return UsageError("demo", "--shm-peer wants DIR KEY PORT SIZE");
    auto key = ParseInteger(args[1], 0, INT32_MAX, "KEY", &error);
    auto port = ParseInteger(args[2], 0, 65535, "PORT", &error);
    auto size = ParseInteger(args[3], 1, INT32_MAX, "SIZE", &error);
    if (!key || !port || !size) return UsageError("demo", error);

    auto server = std::make_unique<EchoServerEx>(static_cast<unsigned short>(*port), nullptr);
    CString base(std::wstring(args[0].begin(), args[0].end()) + L"/channel");
    // The mode is switched on before InitSharedMemory starts the telegram thread,
    // which reads it when it answers: so the thread sees it set from its start.
    server->EnableSharedMemoryServing();
    if (!server->InitSharedMemory(base, static_cast<int>(*size), static_cast<int>(*key), false)) {
        std::printf("error: InitSharedMemory failed on the answering side\n");
        std::fflush(stdout);
        server->UnInitSharedMemory();
        return 1;
    }
    std::uint32_t threadId = server->m_pTelegramThread ? server->m_pTelegramThread->m_nThreadID : 0;
    std::printf("ready %u\n", threadId);
    std::fflush(stdout);
    char ignored[256];
    while (read(0, ignored, sizeof ignored) > 0) {
    }
    server->UnInitSharedMemory();
    return 0;
}

}  // namespace cli
