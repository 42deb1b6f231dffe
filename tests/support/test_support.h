#pragma once
// Small helpers shared by the tests: child processes with time limits, paths of
// helper programs, unique temporary names, and a bounded wait for a condition.
#include "Subprocess.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Path of a helper program built from tests/helpers/<name>.cpp ("" when unknown).
std::string HelperPath(const std::string& name);
// Path of the talvex program ("" when not built).
std::string TalvexProgram();

// A child process whose standard output the test reads (its standard error stays
// the test's); killed (SIGKILL) by the destructor if still running.
class ChildProcess : public cli::Subprocess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    bool Started() const { return Pid() > 0; }
    // The next line of output, or "<no line>" when none came within `timeout`.
    std::string NextLine(std::chrono::milliseconds timeout = std::chrono::seconds(10));
};

// The file of the named lock ("sem") or signal ("sig") with `key`.
std::string NamedObjectFile(const char* kind, int key);

// Why helper programs cannot run as a second user (`nobody`, through setpriv) here;
// "" when they can.
std::string WhyNoOtherUser();
// Runs helper ipc_peer with `args` as the user `nobody` (see WhyNoOtherUser) and
// returns its first line; the process is handed to `keep` (else ended) when given.
std::string OtherUserSays(const std::vector<std::string>& args, std::unique_ptr<ChildProcess>* keep = nullptr);

// Polls `condition` every few milliseconds until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// A name unique to this process and call, for temporary files and keys.
std::string UniqueName(const std::string& prefix);
// A key for named objects that no other test run uses at the same time.
int UniqueKey();
// Tests that add interfaces, addresses or routes run in a network namespace of their
// own: the outer run calls RerunInPrivateNamespace, which runs this test program's
// tests matching `filter` under `unshare -n` and checks their result (skipping
// visibly where no namespace can be made, or where the inner run printed
// kNoBroadcastMark); the inner tests first check FreshPrivateNamespace.
constexpr char kNoBroadcastMark[] = "BROADCAST-UNAVAILABLE";
bool InsidePrivateNamespace();
// True in a fresh namespace other than the outer run's; `why` says what is wrong otherwise.
bool FreshPrivateNamespace(std::string& why);
void RerunInPrivateNamespace(const std::string& filter);

}  // namespace testsupport
