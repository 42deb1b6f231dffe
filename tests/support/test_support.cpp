#include "support/test_support.h"

#include "FreshNetworkNamespace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {

// The directory of the running test program: helpers are built beside it.
std::string OwnDirectory() {
    const std::string directory = std::filesystem::path(cli::Subprocess::SelfPath()).parent_path().string();
    return directory.empty() ? "." : directory;
}

bool IsExecutable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

}  // namespace

std::string HelperPath(const std::string& name) {
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
    const std::string line = child->NextLine();
    if (keep != nullptr) *keep = std::move(child);
    return line;
}

std::string TalvexProgram() {
    std::string built = OwnDirectory() + "/../tools/talvex/talvex";
    return IsExecutable(built) ? built : "";
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::string error;
    Start(program, all, &error, false);
}

std::string ChildProcess::NextLine(std::chrono::milliseconds timeout) {
    std::string line;
    return ReadLine(&line, timeout) ? line : "<no line>";
}

std::string NamedObjectFile(const char* kind, int key) {
    char name[64];
    std::snprintf(name, sizeof name, "/dev/shm/talvex05u.%u.%s%08x", ::geteuid(), kind, static_cast<unsigned>(key));
    return name;
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
    const std::string self = cli::Subprocess::SelfPath();
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
