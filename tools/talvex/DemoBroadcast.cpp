#include "DemoBroadcast.h"

#include "Address.h"
#include "EchoServer.h"
#include "FreshNetworkNamespace.h"
#include "LoopbackBroadcast.h"
#include "Subprocess.h"

#include <Talvex05u.h>

#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <sys/socket.h>

namespace cli {

namespace {

constexpr const char* kInsideMarker = "inside a private network namespace";
constexpr std::int32_t kBroadcastWaitMs = 300;
constexpr std::int32_t kCountAsked = 3;
constexpr auto kInsideLimit = std::chrono::seconds(20);

unsigned short BoundBroadcastPort(const CRP_Caller& caller) {
    if (caller.m_hBroadcastSocket == talvex::kInvalidSocket) return 0;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(caller.m_hBroadcastSocket), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

StepReport BroadcastToTwoServers() {
    HeldPort held;
    unsigned short port = held.Port();
    held.Release();
    auto first = std::make_unique<EchoServerPlain>(0, nullptr);
    auto second = std::make_unique<EchoServerPlain>(0, nullptr);
    for (auto* server : {first.get(), second.get()}) {
        if (!server->StartDispatchThread(0, CString(L"127.0.0.1"), "", port) || BoundBroadcastPort(*server) != port)
            return StepReport::Failed("a serving caller could not listen on broadcast port " + std::to_string(port));
    }
    CRP_Caller broadcaster;
    if (!broadcaster.StartDispatchThread(0, CString(L"127.0.0.1"), "", 0))
        return StepReport::Failed("the broadcasting caller could not start");
    CUdpDataBlockEx block(kCountProcedure);
    block.AppendLongData(kCountAsked);
    CBCastReturnBlock* answers = broadcaster.BroadcastCall(port, &block, kBroadcastWaitMs);
    std::uint32_t count = answers ? answers->GetSize() : 0;
    std::string senders;
    for (std::uint32_t i = 0; i < count; ++i) {
        CBCastItem* item = answers->GetAt(i);
        if (!IsCountAnswer(*item, kCountAsked)) return StepReport::Failed("an answer did not hold 0,1,2");
        senders += (i ? " and " : "") + DottedAddress(item->m_addrFrom.IPAddr()) + ":" +
                   std::to_string(item->m_addrFrom.Port());
    }
    broadcaster.StopDispatchThread();
    first->StopDispatchThread();
    second->StopDispatchThread();
    if (count != 2) return StepReport::Failed(std::to_string(count) + " answers instead of 2");
    return StepReport::Passed("2 callers answered one broadcast to port " + std::to_string(port) + ": " + senders);
}

const char* StatusWord(StepReport::Status status) {
    switch (status) {
    case StepReport::Status::Passed: return "OK";
    case StepReport::Status::Skipped: return "SKIP";
    case StepReport::Status::Failed: return "FAILED";
    }
    return "FAILED";
}

StepReport ParseInsideResult(const std::string& line) {
    std::string rest = line.substr(7);   // after "RESULT "
    auto space = rest.find(' ');
    std::string word = rest.substr(0, space);
    std::string detail = space == std::string::npos ? "" : rest.substr(space + 1);
    if (word == "OK") return StepReport::Passed(detail);
    if (word == "SKIP") return StepReport::Skipped(detail);
    return StepReport::Failed(detail);
}

}  // namespace

int RunBroadcastInside() {
    std::string refusal;
    if (!talvex::InFreshNamespaceOfParent(refusal)) {   // it brings interfaces up and adds routes
        std::fprintf(stderr, "talvex demo --broadcast-inside: refused: %s\n", refusal.c_str());
        return 2;
    }
    std::printf("%s\n", kInsideMarker);
    std::fflush(stdout);
    std::string why;
    StepReport report = SetUpLoopbackBroadcast(&why) ? BroadcastToTwoServers() : StepReport::Skipped(why);
    std::printf("RESULT %s %s\n", StatusWord(report.status), report.detail.c_str());
    std::fflush(stdout);
    return 0;
}

StepReport RunBroadcastStep() {
    Subprocess inside;
    std::string error;
    talvex::PassOwnNamespaceToChildren();
    if (!inside.Start("unshare", {"unshare", "-n", "--", Subprocess::SelfPath(), "demo", "--broadcast-inside"}, &error))
        return StepReport::Skipped("no private network namespace: " + error);
    bool entered = false;
    std::string line;
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + kInsideLimit;
    while (std::chrono::steady_clock::now() < deadline &&
           inside.ReadLine(&line, std::chrono::duration_cast<std::chrono::milliseconds>(
                                      deadline - std::chrono::steady_clock::now()))) {
        if (line == kInsideMarker) {
            entered = true;
        } else if (line.rfind("RESULT ", 0) == 0) {
            inside.Wait(std::chrono::seconds(5));
            return ParseInsideResult(line);
        } else if (output.empty()) {
            output = line;
        }
    }
    int status = inside.Wait(std::chrono::seconds(2));
    if (!entered && status != 0)
        return StepReport::Skipped("no private network namespace here (" + (output.empty() ? "unshare -n failed" : output) + ")");
    return StepReport::Failed("the namespace process ended without a result" + (output.empty() ? "" : ": " + output));
}

}  // namespace cli
