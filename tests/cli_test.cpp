// The talvex program as a user runs it: `serve` in the background on a port the
// system chose (its first line names it), call/event/ping/broadcast against it,
// bad input refused with exit 2, a taken port with 3, the version, the demo, and
// `trace-viewer` with real debug streams and raw connections.
#include "support/loopback.h"
#include "support/udp_relay.h"
#include "support/test_support.h"
#include "talvex05u/support/RPCDebugStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

using namespace std::chrono_literals;
using testsupport::BoundLoopback;
using testsupport::LocalPort;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct RunResult {
    int status = -1;   // -1 when the program did not end in time
    std::string out, err;
};

// Runs talvex with `args` to its end (killed after `limit`); standard error goes through a file.
// Expects the exit `status` and `named` in standard error.
RunResult Talvex(std::vector<std::string> args, int status, const std::string& named = "",
                 std::chrono::milliseconds limit = 20s) {
    const std::string errFile = testsupport::UniqueName("/tmp/talvex-cli-err");
    args.insert(args.begin(), {"-c", "exec \"$0\" \"$@\" 2>" + errFile, testsupport::TalvexProgram()});
    testsupport::ChildProcess child("/bin/sh", args);
    RunResult result;
    result.out = child.ReadAll(limit);
    result.status = child.Wait(2s);
    std::ifstream err(errFile);
    result.err.assign(std::istreambuf_iterator<char>(err), {});
    ::unlink(errFile.c_str());
    EXPECT_EQ(result.status, status) << args[3] << " " << args.back().substr(0, 40) << ": " << result.err;
    EXPECT_TRUE(Contains(result.err, named)) << named << " not named in: " << result.err;
    return result;
}

// `talvex COMMAND --port 0 ARGS...` (serve or trace-viewer) in the background: its first
// line names the port the system chose; every line it printed after that is kept.
class Background {
public:
    explicit Background(std::vector<std::string> args) {
        args.insert(args.begin() + 1, {"--port", "0"});
        m_child = std::make_unique<testsupport::ChildProcess>(testsupport::TalvexProgram(), args);
        std::smatch match;
        if (m_child->ReadLine(&m_first, 10s) &&
            std::regex_search(m_first, match, std::regex(R"((?:serving|listening) on [0-9.]+:([0-9]+))")))
            m_port = static_cast<std::uint16_t>(std::stoi(match[1]));
    }
    std::uint16_t Port() const { return m_port; }
    const std::string& First() const { return m_first; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    // The first line printed that holds `part`, or "" after about `limit`; lines read
    // before count too (the lines of several clients come in any order).
    std::string WaitForLine(const std::string& part, std::chrono::milliseconds limit = 5s) {
        for (const std::string& line : m_seen)
            if (Contains(line, part)) return line;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string line;
        for (int i = 0; i < 100000 && std::chrono::steady_clock::now() < deadline; ++i) {
            if (!m_child->ReadLine(&line, limit)) break;
            m_seen.push_back(line);
            if (Contains(line, part)) return line;
        }
        return "";
    }
    bool Saw(const std::string& part) { return !WaitForLine(part).empty(); }
    int Stop(int signalNumber) {
        m_child->Signal(signalNumber);
        return m_child->Wait(10s);
    }
    std::vector<std::string> m_seen;

private:
    std::unique_ptr<testsupport::ChildProcess> m_child;
    std::string m_first;
    std::uint16_t m_port = 0;
};

// A blocking send queues all of `data` (nothing here interrupts it with a signal handler).
bool SendAll(const testsupport::Fd& fd, const std::string& data) {
    return ::send(fd.Get(), data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (testsupport::TalvexProgram().empty()) GTEST_SKIP() << "the talvex program was not built";
    }
};

// Against one extended and one plain `talvex serve`: call, event and ping answered in
// JSON, counts of any size, calls that cannot be answered, and an answer that lost a
// return chunk or came as chunks to a plain caller, which is never printed as an empty
// one (exit 1 and the reason); then a silent port, a taken one and one nobody serves.
TEST_F(CliTest, CallsAgainstRunningServersAndWhyTheyFail) {
    Background serve({"serve"}), plainServe({"serve", "--plain"});
    ASSERT_TRUE(serve.Port() > 0 && plainServe.Port() > 0);
    RunResult r = Talvex({"call", serve.Address(), "1", "l:-42", "f:1.5", "d:2.25", "i64:-5", "u64:18446744073709551615",
                          "s:h\xc3\xa9llo", "a:0a0b0c", "b:1,2,3", "--read", "l,f,d,i64,u64,s,a:3,b", "--json"}, 0);
    EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(\{"from":")" + serve.Address() +
        R"(","procedure":1,"word_count":15,"round_trip_ms":[0-9]+\.[0-9]{3},"values":\[-42,1.5,2.25,-5,)"
        R"(18446744073709551615,"h\xc3\xa9llo","0a0b0c",\[1,2,3\]\]\}\n)"))) << r.out;
    EXPECT_EQ(Talvex({"event", serve.Address(), "7", "l:1", "s:hi", "--json"}, 0).out,
              R"({"to":")" + serve.Address() + R"(","procedure":7,"word_count":2})" "\n");
    EXPECT_TRUE(Contains(serve.WaitForLine("proc=7"), "words=2"));
    RunResult ping = Talvex({"ping", serve.Address(), "--count", "3", "--interval", "20", "--json"}, 0);
    EXPECT_TRUE(std::regex_search(ping.out, std::regex(R"(^\{"seq":1,"time_ms":[0-9.]+\}\n(.*\n){2}\{"sent":3,"received":3,)"
                                                       R"("loss_percent":0,"min_ms":)"))) << ping.out;

    for (auto [server, n] : {std::pair{&serve, 5}, {&plainServe, 1000}, {&serve, 100000}}) {   // the count procedure
        SCOPED_TRACE(n);
        std::vector<std::string> args{"call", server->Address(), "2", "l:" + std::to_string(n)};
        if (server == &plainServe) args.push_back("--plain");   // pulled packet by packet
        RunResult c = Talvex(args, 0);
        const std::string last = std::to_string(n - 1);
        EXPECT_TRUE(Contains(c.out, "procedure 2, " + std::to_string(n) + " words")) << c.out;
        EXPECT_TRUE(std::regex_search(c.out, std::regex("\\[" + last + "\\] 0x[0-9a-f]{8} " + last + "\n"))) << c.out;
        EXPECT_FALSE(server->WaitForLine("answered " + std::to_string(n) + " words").empty());
    }

    Talvex({"call", serve.Address(), "99", "--timeout", "300"}, 1, "no answer from " + serve.Address());
    EXPECT_FALSE(serve.WaitForLine("proc=99").empty());
    Talvex({"call", serve.Address(), "2", "l:3460001", "--timeout", "300"}, 1);
    EXPECT_TRUE(Contains(serve.WaitForLine("count wants 0 <= n <= 3460000"), "proc=2"));
    RunResult pastEnd = Talvex({"call", serve.Address(), "1", "l:7", "--read", "l,d"}, 1, "does not hold value 2");
    EXPECT_TRUE(Contains(pastEnd.out, "l: 7")) << pastEnd.out;
    using Relay = testsupport::UdpRelay;
    Relay relay(static_cast<std::uint16_t>(serve.Port()), {}, [](Relay::Way way, const std::int32_t* words, int bytes) {
        const bool secondReturnChunk = bytes >= 32 && words[0] == 12 && words[6] == 1;
        return way == Relay::Way::ToClient && secondReturnChunk ? Relay::Verdict::Drop : Relay::Verdict::Pass;
    });
    Talvex({"call", "127.0.0.1:" + std::to_string(relay.Port()), "2", "l:1000"}, 1,
           "return chunks lost: 2 of 3 received");
    Talvex({"call", serve.Address(), "2", "l:1000", "--plain"}, 1, "call with an extended caller");
    EXPECT_EQ(serve.Stop(SIGTERM), 0);

    testsupport::Fd silent = BoundLoopback(SOCK_DGRAM);
    const std::string port = std::to_string(LocalPort(silent));
    RunResult lostPings = Talvex({"ping", "127.0.0.1:" + port, "--count", "2", "--interval", "0"}, 1);
    EXPECT_TRUE(Contains(lostPings.out, "2 sent, 0 received, 100% loss")) << lostPings.out;
    Talvex({"serve", "--port", port, "--bind", "127.0.0.1"}, 3,
           "could not bind UDP port " + port + ": Address already in use");
    silent.Reset();   // the port is free now: nothing listens there
    const auto start = std::chrono::steady_clock::now();
    Talvex({"call", "127.0.0.1:" + port, "1", "--timeout", "5000"}, 1, "nothing listens on 127.0.0.1:" + port);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

// `serve` binds 127.0.0.1 unless --bind says otherwise: at 127.0.0.2, also on loopback,
// nothing listens. With --allow it answers only the networks named; a call from
// 127.0.0.1 is then dropped unanswered (bad lists: BadInput below).
TEST_F(CliTest, ServeBindsLoopbackByDefaultAndAnswersOnlyTheNetworksAllowed) {
    Background open({"serve"}), fenced({"serve", "--allow", "10.0.0.0/8,127.0.0.2"});
    ASSERT_TRUE(open.Port() > 0 && fenced.Port() > 0);
    EXPECT_TRUE(Contains(open.First(), "serving on " + open.Address() + " (extended caller; loopback only;")) << open.First();
    EXPECT_TRUE(Contains(fenced.First(), "; answers only 10.0.0.0/8,127.0.0.2)")) << fenced.First();
    const std::string elsewhere = "127.0.0.2:" + std::to_string(open.Port());
    Talvex({"call", elsewhere, "1", "--timeout", "3000"}, 1, "nothing listens on " + elsewhere);
    Talvex({"call", open.Address(), "1", "l:1"}, 0);
    Talvex({"call", fenced.Address(), "1", "l:1", "--timeout", "300"}, 1, "no answer from " + fenced.Address());
    EXPECT_TRUE(fenced.WaitForLine("proc=1", 300ms).empty()) << "a refused call reaches no hook";
}

TEST_F(CliTest, BadInputIsRefusedWithExit2AndNamed) {
    std::string longCall = "b:0";
    for (int i = 1; i < 400; ++i) longCall += "," + std::to_string(i);
    const std::string a = "127.0.0.1:5000";
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"call", "127.0.0.1:70000", "1"}, "70000"},
        {{"call", "127.0.0.1", "1"}, "HOST:PORT"},
        {{"call", "nosuchhost.invalid:5000", "1"}, "unknown host 'nosuchhost.invalid'"},
        {{"call", a, "1", "l:abc"}, "l:abc"},
        {{"call", a, "1", "a:0g"}, "a:0g"},
        {{"call", a, "1", "x:5"}, "x:5"},
        {{"call", a, "1", "42"}, "'42'"},
        {{"call", a, "1", "--timeout", "-5"}, "--timeout"},
        {{"call", a, "1", "--read", "l,q"}, "'q'"},
        {{"call", a, "1", "--frobnicate"}, "--frobnicate"},
        {{"call", a, "1", longCall, "--plain"}, "at most 350"},
        {{"event", "127.0.0.1:0", "1"}, "'0'"},
        {{"serve", "--port", "99999"}, "99999"},
        {{"serve", "--port", "0", "--bind", "1.2.3"}, "1.2.3"},
        {{"serve", "--port", "0", "--allow", "10.0.0.0/8,10.1.0.0/33"}, "bad --allow list '10.0.0.0/8,10.1.0.0/33'"},
        {{"serve", "--port", "0", "--allow", ""}, "--allow needs at least one network"},
        {{"broadcast", "5000", "1", "--wait", "soon"}, "soon"},
        {{"trace-viewer", "--bogus"}, "unknown option '--bogus'"},
        {{"trace-viewer", "--port"}, "--port needs a value"},
        {{"trace-viewer", "--port", "70000"}, "bad port '70000'"},
        {{"trace-viewer", "--port", "-1"}, "bad port '-1'"},
        {{"trace-viewer", "--port=12x"}, "bad port '12x'"},
    };
    for (const auto& [args, named] : cases) Talvex(args, 2, named, 10s);
}

TEST_F(CliTest, VersionIsTheProjectVersionAndDemoRunsToTheEnd) {
    RunResult version = Talvex({"--version"}, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex("talvex [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version.out;
    EXPECT_EQ(Talvex({"-V"}, 0).out, version.out);
    RunResult r = Talvex({"demo"}, 0, "", 60s);
    EXPECT_TRUE(Contains(r.out, " 0 failed") && !Contains(r.out, "FAILED")) << r.out;
    for (const char* step : {"see each other", "pulled packet by packet", "answer as chunks", "call as chunks",
                             "an event", "shared-memory", "broadcast"})
        EXPECT_TRUE(Contains(r.out, step)) << step << " missing in:\n" << r.out;
    for (const char* command : {"demo", "bench"})   // outside a fresh private namespace: refused
        Talvex({command, "--broadcast-inside"}, 2, "refused", 10s);
}

// Broadcasts go to 255.255.255.255: the test runs in a private network namespace.
TEST_F(CliTest, BroadcastIsAnsweredByEveryServer) {
    if (!testsupport::InsidePrivateNamespace()) return testsupport::RerunInPrivateNamespace(
        "CliTest.BroadcastIsAnsweredByEveryServer");
    std::string why;
    ASSERT_TRUE(testsupport::FreshPrivateNamespace(why)) << why;
    ASSERT_EQ(std::system("ip link set lo up && ip route add broadcast 255.255.255.255 dev lo table local "
                          "scope link src 127.0.0.1"), 0);
    const std::string port = std::to_string(LocalPort(BoundLoopback(SOCK_DGRAM)));   // free, then released
    Background first({"serve", "--broadcast-port", port});
    Background second({"serve", "--broadcast-port", port, "--plain"});
    ASSERT_TRUE(first.Port() > 0 && second.Port() > 0);
    RunResult r = Talvex({"broadcast", port, "2", "l:4", "--wait", "500", "--json"}, 0);
    for (const Background* serve : {&first, &second})
        EXPECT_TRUE(Contains(r.out, R"({"from":")" + serve->Address() +
                                        R"(","procedure":2,"word_count":4,"words":[0,1,2,3],"first_packet_only":false})"))
            << r.out;
    EXPECT_TRUE(Contains(first.WaitForLine("broadcast proc=2"), "answered 4 words"));
    testsupport::Fd silent = BoundLoopback(SOCK_DGRAM);
    Talvex({"broadcast", std::to_string(LocalPort(silent)), "2", "l:4", "--wait", "200"}, 1, "no answer");
}

// A real debug stream and raw clients on one viewer: every line under its connection's
// names and identifier, a half line kept apart from another connection's over-long line,
// which is cut, and a destroyed stream's end; then --help, a port this viewer holds, and
// the ends by SIGINT and SIGTERM (bad arguments: BadInput above).
TEST_F(CliTest, TraceViewerPrintsEachConnectionsLinesCutsOverlongOnesAndExitCodes) {
    Background viewer({"trace-viewer"});
    ASSERT_NE(viewer.Port(), 0);
    auto stream = std::make_unique<CRPCDebugStream>(0x1234, "alpha", "beta");
    stream->SetViewerPort(viewer.Port());
    ASSERT_EQ(stream->AddTrace("main", "m"), 0);
    stream->Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return stream->GetState() == 2; }, 5000ms));
    stream->Trace(0, "hello from %s", "one");
    ASSERT_TRUE(viewer.Saw("alpha/beta [1234] hello from one"));
    testsupport::Fd half = testsupport::ConnectLoopback(viewer.Port()), raw = testsupport::ConnectLoopback(viewer.Port());
    ASSERT_TRUE(SendAll(half, "s1\tpart\t1001\r\nbegin-1"));
    ASSERT_TRUE(viewer.Saw("s1/part"));
    ASSERT_TRUE(SendAll(raw, "raw\tclient\t00FF\r\n" + std::string(200000, 'x') +
                                 "\r\nafter the long one\r\nctl\x1b" + "char\r\n"));
    ASSERT_TRUE(viewer.Saw("raw/client [00FF] ctl?char"));
    stream.reset();
    ASSERT_TRUE(viewer.Saw("alpha/beta [1234] disconnected"));
    ASSERT_TRUE(SendAll(half, "-end\r\n"));   // the viewer serves on after one connection ended
    for (const char* line : {"s1/part [1001] begin-1-end", "raw/client [00FF] after the long one", "[cut]"})
        EXPECT_TRUE(viewer.Saw(line)) << line;
    for (const std::string& line : viewer.m_seen) EXPECT_LT(line.size(), 70000u);
    EXPECT_EQ(std::count_if(viewer.m_seen.begin(), viewer.m_seen.end(),
                            [](const std::string& line) { return Contains(line, "connected from 127.0.0.1:"); }),
              3);

    Talvex({"trace-viewer", "--help"}, 0);
    Talvex({"trace-viewer", "--port", std::to_string(viewer.Port())}, 1);   // taken
    EXPECT_EQ(viewer.Stop(SIGINT), 0);
    Background second({"trace-viewer"});
    EXPECT_TRUE(second.Port() > 0 && second.Stop(SIGTERM) == 0);
}

}  // namespace
