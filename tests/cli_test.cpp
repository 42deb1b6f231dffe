// The talvex program as a user runs it: `serve` in the background on a port the
// system chose (its first line names it), and call, event, ping and broadcast
// against it; bad input refused with exit 2 and a message naming it; a clean stop
// on SIGTERM and SIGINT; and the demo run to its end.
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// Path of the talvex program: as the build passes it, else beside this test's build tree.
std::string TalvexPath() {
    std::string program = testsupport::TalvexProgram();
    if (!program.empty()) return program;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    std::string path(self, static_cast<size_t>(length));
    path = path.substr(0, path.rfind('/')) + "/../tools/talvex/talvex";
    return access(path.c_str(), X_OK) == 0 ? path : "";
}

struct RunResult {
    int status = -1;   // exit status; -1 when the program did not end in time
    std::string out;
    std::string err;
};

// Runs talvex with `args` to its end (killed after `limit`), capturing both outputs.
RunResult RunTalvex(const std::vector<std::string>& args, std::chrono::milliseconds limit = 20s) {
    RunResult result;
    std::string program = TalvexPath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = spawned == 0 ? 2 : 0;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 50) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    if (spawned != 0) return result;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return result;
        }
        std::this_thread::sleep_for(5ms);
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// `talvex serve` in the background; its first line names the port it serves.
class ServeProcess {
public:
    explicit ServeProcess(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"serve", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_child = std::make_unique<testsupport::ChildProcess>(TalvexPath(), args);
        std::string first;
        if (!m_child->ReadLine(&first, 10s)) return;
        std::smatch match;
        if (std::regex_search(first, match, std::regex(R"(serving on [0-9.]+:([0-9]+) )"))) m_port = std::stoi(match[1]);
    }
    int Port() const { return m_port; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    // Reads the log until a line holds `part`; that line, or "" after `limit`.
    std::string WaitForLine(const std::string& part, std::chrono::milliseconds limit = 5s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        std::string line;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!m_child->ReadLine(&line, 200ms)) continue;
            if (Contains(line, part)) return line;
        }
        return "";
    }
    int Stop(int signalNumber) {
        m_child->Signal(signalNumber);
        return m_child->Wait(10s);
    }

private:
    std::unique_ptr<testsupport::ChildProcess> m_child;
    int m_port = 0;
};

// A bound UDP socket on 127.0.0.1 that never answers: a peer that stays silent.
class SilentPort {
public:
    SilentPort() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~SilentPort() { close(m_fd); }
    int Port() const { return m_port; }

private:
    int m_fd = -1;
    int m_port = 0;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TalvexPath().empty()) GTEST_SKIP() << "the talvex program was not built";
    }
};

TEST_F(CliTest, EchoReturnsEveryKindOfTypedValue) {
    ServeProcess serve;
    ASSERT_GT(serve.Port(), 0);
    RunResult r = RunTalvex({"call", serve.Address(), "1", "l:-42", "f:1.5", "d:2.25", "i64:-5",
                             "u64:18446744073709551615", "s:hello world", "a:0a0b0c", "b:1,2,3",
                             "--read", "l,f,d,i64,u64,s,a:3,b"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* expected : {"procedure 1, 16 words", "l: -42 (0xffffffd6)", "f: 1.5", "d: 2.25", "i64: -5",
                                 "u64: 18446744073709551615", "s: \"hello world\"", "a: 0a0b0c (3 bytes)",
                                 "b: 3 words: 1,2,3"})
        EXPECT_TRUE(Contains(r.out, expected)) << expected << " missing in:\n" << r.out;
    EXPECT_FALSE(serve.WaitForLine("proc=1").empty());
}

TEST_F(CliTest, ReadingPastTheAnswerFailsWithExit1) {
    ServeProcess serve;
    RunResult r = RunTalvex({"call", serve.Address(), "1", "l:7", "--read", "l,d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.out, "l: 7"));
    EXPECT_TRUE(Contains(r.err, "does not hold value 2"));
}

struct CountCase {
    const char* name;
    bool plainServer;
    bool plainCaller;
    int n;
};

class CliCountTest : public CliTest, public ::testing::WithParamInterface<CountCase> {};

TEST_P(CliCountTest, CountAnswersTheWordsZeroToNMinusOne) {
    const CountCase& c = GetParam();
    ServeProcess serve(c.plainServer ? std::vector<std::string>{"--plain"} : std::vector<std::string>{});
    ASSERT_GT(serve.Port(), 0);
    std::vector<std::string> args{"call", serve.Address(), "2", "l:" + std::to_string(c.n)};
    if (c.plainCaller) args.push_back("--plain");
    RunResult r = RunTalvex(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "procedure 2, " + std::to_string(c.n) + " words")) << r.out;
    std::string last = std::to_string(c.n - 1);
    EXPECT_TRUE(Contains(r.out, "[" + last + "] ")) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\\[" + last + "\\] 0x[0-9a-f]{8} " + last + "\n"))) << r.out;
    EXPECT_TRUE(Contains(r.out, "[0] 0x00000000 0"));
    EXPECT_FALSE(serve.WaitForLine("answered " + std::to_string(c.n) + " words").empty());
}

INSTANTIATE_TEST_SUITE_P(Cli, CliCountTest,
                         ::testing::Values(CountCase{"five", false, false, 5},
                                           CountCase{"pulledFromPlainServer", true, true, 1000},
                                           CountCase{"pulledByExtendedCaller", true, false, 1000},
                                           CountCase{"chunked", false, false, 100000}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(CliTest, UnservedCallsTimeOutWithExit1AndTheServerSaysWhy) {
    ServeProcess serve;
    RunResult unknown = RunTalvex({"call", serve.Address(), "99", "--timeout", "300"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no answer from " + serve.Address()));
    EXPECT_FALSE(serve.WaitForLine("proc=99").empty());

    RunResult tooMany = RunTalvex({"call", serve.Address(), "2", "l:3460001", "--timeout", "300"});
    EXPECT_EQ(tooMany.status, 1);
    EXPECT_TRUE(Contains(serve.WaitForLine("proc=2"), "count wants 0 <= n <= 3460000"));

    RunResult negative = RunTalvex({"call", serve.Address(), "2", "l:-1", "--timeout", "300"});
    EXPECT_EQ(negative.status, 1);
}

TEST_F(CliTest, EventReachesTheServerWithoutAnswer) {
    ServeProcess serve;
    RunResult r = RunTalvex({"event", serve.Address(), "7", "l:1", "s:hi"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "procedure 7, 2 words"));
    std::string line = serve.WaitForLine("proc=7");
    EXPECT_TRUE(Contains(line, "words=2")) << line;
}

TEST_F(CliTest, PingReportsRoundTripsAndLoss) {
    ServeProcess serve;
    RunResult answered = RunTalvex({"ping", serve.Address(), "--count", "3", "--interval", "20"});
    EXPECT_EQ(answered.status, 0) << answered.err;
    EXPECT_TRUE(Contains(answered.out, "3 sent, 3 received, 0% loss")) << answered.out;
    EXPECT_TRUE(Contains(answered.out, "rtt min/avg/max"));

    SilentPort silent;
    RunResult lost = RunTalvex({"ping", "127.0.0.1:" + std::to_string(silent.Port()), "--count", "2", "--interval", "0"});
    EXPECT_EQ(lost.status, 1);
    EXPECT_TRUE(Contains(lost.out, "2 sent, 0 received, 100% loss")) << lost.out;
}

TEST_F(CliTest, ServeStopsCleanlyOnSigtermAndSigint) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        ServeProcess serve;
        ASSERT_GT(serve.Port(), 0);
        ASSERT_EQ(RunTalvex({"call", serve.Address(), "2", "l:3"}).status, 0);
        EXPECT_EQ(serve.Stop(signalNumber), 0) << "signal " << signalNumber;
    }
}

TEST_F(CliTest, ServeRefusesAPortInUse) {
    SilentPort taken;
    RunResult r = RunTalvex({"serve", "--port", std::to_string(taken.Port()), "--bind", "127.0.0.1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "could not bind UDP port " + std::to_string(taken.Port()))) << r.err;
}

TEST_F(CliTest, BadInputIsRefusedWithExit2AndNamed) {
    struct BadCase {
        std::vector<std::string> args;
        const char* named;
    };
    const BadCase cases[] = {
        {{"call", "127.0.0.1:70000", "1"}, "70000"},
        {{"call", "127.0.0.1", "1"}, "HOST:PORT"},
        {{"call", "nosuchhost.invalid:5000", "1"}, "unknown host 'nosuchhost.invalid'"},
        {{"call", "127.0.0.1:5000", "1", "l:abc"}, "l:abc"},
        {{"call", "127.0.0.1:5000", "1", "l:4294967296"}, "l:4294967296"},
        {{"call", "127.0.0.1:5000", "1", "f:1e999"}, "f:1e999"},
        {{"call", "127.0.0.1:5000", "1", "u64:-1"}, "u64:-1"},
        {{"call", "127.0.0.1:5000", "1", "a:0g"}, "a:0g"},
        {{"call", "127.0.0.1:5000", "1", "a:abc"}, "a:abc"},
        {{"call", "127.0.0.1:5000", "1", "b:1,,2"}, "b:1,,2"},
        {{"call", "127.0.0.1:5000", "1", "x:5"}, "x:5"},
        {{"call", "127.0.0.1:5000", "1", "42"}, "'42'"},
        {{"call", "127.0.0.1:5000", "one"}, "'one'"},
        {{"call", "127.0.0.1:5000", "1", "--timeout", "-5"}, "--timeout"},
        {{"call", "127.0.0.1:5000", "1", "--read", "l,q"}, "'q'"},
        {{"call", "127.0.0.1:5000", "1", "--frobnicate"}, "--frobnicate"},
        {{"call"}, "HOST:PORT"},
        {{"event", "127.0.0.1:0", "1"}, "'0'"},
        {{"ping", "127.0.0.1:65536"}, "65536"},
        {{"ping", "127.0.0.1:5000", "--count", "0"}, "--count"},
        {{"serve", "--port", "99999"}, "99999"},
        {{"serve", "--port", "0", "--bind", "1.2.3"}, "1.2.3"},
        {{"serve"}, "--port"},
        {{"broadcast", "0", "1"}, "'0'"},
        {{"broadcast", "5000", "1", "--wait", "soon"}, "soon"},
        {{"demo", "extra"}, "extra"},
    };
    for (const auto& c : cases) {
        RunResult r = RunTalvex(c.args, 10s);
        std::string shown;
        for (const auto& a : c.args) shown += a.substr(0, 40) + " ";
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_TRUE(Contains(r.err, c.named)) << shown << "\nstderr: " << r.err;
    }
}

TEST_F(CliTest, PlainCallerRefusesCallsLongerThanOnePacket) {
    std::string words = "b:0";
    for (int i = 1; i < 400; ++i) words += "," + std::to_string(i);
    RunResult r = RunTalvex({"call", "127.0.0.1:5000", "1", words, "--plain"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, "at most 350")) << r.err;
}

TEST_F(CliTest, EverySubcommandHasHelp) {
    for (const char* command : {"serve", "call", "event", "ping", "broadcast", "demo"}) {
        RunResult r = RunTalvex({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_TRUE(Contains(r.out, std::string("usage: talvex ") + command)) << r.out;
    }
}

TEST_F(CliTest, DemoRunsToTheEnd) {
    RunResult r = RunTalvex({"demo"}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(Contains(r.out, " 0 failed")) << r.out;
    EXPECT_FALSE(Contains(r.out, "FAILED")) << r.out;
    for (const char* step : {"see each other", "pulled packet by packet", "answer as chunks", "call as chunks",
                             "an event", "shared-memory", "broadcast"})
        EXPECT_TRUE(Contains(r.out, step)) << step << " missing in:\n" << r.out;
}

// Broadcasts go to 255.255.255.255, so this test runs only inside a private network
// namespace: it re-executes itself under `unshare -n`, where loopback carries them.
constexpr const char* kInsideNamespace = "TALVEX_CLI_TEST_INSIDE_NETNS";

bool RunCommand(const std::string& command) { return std::system(command.c_str()) == 0; }

TEST_F(CliTest, BroadcastIsAnsweredByEveryServer) {
    if (std::getenv(kInsideNamespace) == nullptr) {
        if (!testsupport::CanUsePrivateNetworkNamespace())
            GTEST_SKIP() << "no private network namespace can be made here (unshare -n fails); broadcast not tested";
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        ASSERT_GT(length, 0);
        setenv(kInsideNamespace, "1", 1);
        testsupport::ChildProcess inside("/usr/bin/unshare",
                                         {"-n", "--", std::string(self, static_cast<size_t>(length)),
                                          "--gtest_filter=CliTest.BroadcastIsAnsweredByEveryServer"});
        std::string output = inside.ReadAll(60s);
        unsetenv(kInsideNamespace);
        EXPECT_EQ(inside.Wait(10s), 0) << output;
        EXPECT_TRUE(Contains(output, "[  PASSED  ] 1 test")) << output;
        return;
    }
    ASSERT_TRUE(RunCommand("ip link set lo up && ip route add broadcast 255.255.255.255 dev lo table local "
                           "scope link src 127.0.0.1"));
    std::string port;   // a port number nobody else uses in this namespace, freed for the servers
    {
        SilentPort portSource;
        port = std::to_string(portSource.Port());
    }
    ServeProcess first({"--broadcast-port", port});
    ServeProcess second({"--broadcast-port", port, "--plain"});
    ASSERT_GT(first.Port(), 0);
    ASSERT_GT(second.Port(), 0);
    RunResult r = RunTalvex({"broadcast", port, "2", "l:4", "--wait", "500"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "answer from 127.0.0.1:" + std::to_string(first.Port()) + ": procedure 2, 4 words"))
        << r.out;
    EXPECT_TRUE(Contains(r.out, "answer from 127.0.0.1:" + std::to_string(second.Port()) + ": procedure 2, 4 words"))
        << r.out;
    EXPECT_TRUE(Contains(first.WaitForLine("broadcast proc=2"), "answered 4 words"));

    SilentPort silent;
    RunResult nobody = RunTalvex({"broadcast", std::to_string(silent.Port()), "2", "l:4", "--wait", "200"});
    EXPECT_EQ(nobody.status, 1);
    EXPECT_TRUE(Contains(nobody.err, "no answer")) << nobody.err;
}

}  // namespace
