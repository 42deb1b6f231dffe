#include "support/test_support.h"

#include "FreshNetworkNamespace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <vector>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

// Path of the running test program ("" when unknown), and its directory: helpers are built beside it.
std::string OwnPath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}
std::string OwnDirectory() {
    const std::string directory = std::filesystem::path(OwnPath()).parent_path().string();
    return directory.empty() ? "." : directory;
}

bool IsExecutable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string HelperPath(const std::string& name) {
    std::string variable = "TALVEX_HELPER_";
    for (char c : name) variable += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const char* value = std::getenv(variable.c_str());
    if (value != nullptr && IsExecutable(value)) return value;
    std::string beside = OwnDirectory() + "/helper_" + name;
    return IsExecutable(beside) ? beside : "";
}

constexpr char kSetpriv[] = "/usr/bin/setpriv";

std::string WhyNoOtherUser() {
    if (::geteuid() != 0) return "not root: cannot run a helper as the user nobody";
    if (!IsExecutable(kSetpriv)) return "setpriv is missing: cannot run a helper as the user nobody";
    return "";
}

std::string OtherUserSays(const std::vector<std::string>& args, std::unique_ptr<ChildProcess>* keep) {
    std::vector<std::string> all = {"--reuid=nobody", "--regid=nogroup", "--clear-groups", HelperPath("ipc_peer")};
    all.insert(all.end(), args.begin(), args.end());
    auto child = std::make_unique<ChildProcess>(kSetpriv, all);
    std::string line;
    if (!child->ReadLine(&line, std::chrono::seconds(10))) line = "<no line>";
    if (keep != nullptr) *keep = std::move(child);
    return line;
}

std::string TalvexProgram() {
    const char* value = std::getenv("TALVEX_PROGRAM");
    if (value != nullptr && IsExecutable(value)) return value;
    std::string built = OwnDirectory() + "/../tools/talvex/talvex";
    return IsExecutable(built) ? built : "";
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, bool captureOutput) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (captureOutput && pipe2(pipeFds, O_CLOEXEC) == 0) posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    m_out = pipeFds[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
}

// Waits for output until `deadline` and takes what came; false at the deadline or
// once the child's output has ended.
bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (m_out < 0 || left.count() <= 0) return false;
    pollfd p{m_out, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return true;   // the deadline is looked at next time
    char chunk[4096];
    const ssize_t n = read(m_out, chunk, sizeof chunk);
    if (n <= 0) { close(m_out); m_out = -1; return false; }
    m_buffer.append(chunk, static_cast<size_t>(n));
    return true;
}

bool ChildProcess::ReadLine(std::string* line, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto nl = m_buffer.find('\n');
        if (nl != std::string::npos) {
            *line = m_buffer.substr(0, nl);
            m_buffer.erase(0, nl + 1);
            return true;
        }
        if (!ReadSome(deadline)) return false;
    }
}

std::string ChildProcess::ReadAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadSome(deadline)) continue;
    std::string all;
    all.swap(m_buffer);
    return all;
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_reaped) return m_status;
    if (m_pid <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_reaped = true;
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void ChildProcess::Signal(int signalNumber) {
    if (m_pid > 0 && !m_reaped) kill(m_pid, signalNumber);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string UniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    return prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

int UniqueKey() {
    static std::atomic<int> counter{0};
    return static_cast<int>((static_cast<unsigned>(getpid()) << 8) & 0x3FFFFF00u) + (counter++ & 0xFF) + 0x100000;
}

bool InsidePrivateNamespace() { return std::getenv("TALVEX_OUTER_NETNS") != nullptr; }

bool FreshPrivateNamespace(std::string& why) { return talvex::InFreshNamespaceOfParent(why); }

void RerunInPrivateNamespace(const std::string& filter) {
    if (std::system("unshare -n true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "cannot create a private network namespace (unshare -n): not tested";
    const std::string self = OwnPath();
    ASSERT_FALSE(self.empty());
    talvex::PassOwnNamespaceToChildren();
    ChildProcess inside("/usr/bin/unshare", {"-n", "--", self, "--gtest_filter=" + filter});
    const std::string output = inside.ReadAll(std::chrono::seconds(60));
    ::unsetenv("TALVEX_OUTER_NETNS");
    if (output.find(kNoBroadcastMark) != std::string::npos)
        GTEST_SKIP() << "the private network namespace does not carry broadcasts: " << output;
    EXPECT_EQ(0, inside.Wait(std::chrono::seconds(10))) << output;
    EXPECT_NE(std::string::npos, output.find("[  PASSED  ]")) << output;
    EXPECT_EQ(std::string::npos, output.find("[  SKIPPED ]")) << output;
}

}  // namespace testsupport
