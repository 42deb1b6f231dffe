#pragma once
// Small helpers shared by the tests: child processes with time limits, paths of
// helper programs, unique temporary names, and a bounded wait for a condition.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

// Path of a helper program built from tests/helpers/<name>.cpp ("" when unknown).
std::string HelperPath(const std::string& name);
// Path of the talvex program ("" when not built).
std::string TalvexProgram();

// A child process started with posix_spawn; killed (SIGKILL) by the destructor if still running.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, bool captureOutput = true);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    // Reads one line of the child's standard output, waiting at most `timeout`; false at end or time-out.
    bool ReadLine(std::string* line, std::chrono::milliseconds timeout);
    // Everything the child wrote until it ends (waits at most `timeout`).
    std::string ReadAll(std::chrono::milliseconds timeout);
    // Waits for the exit; returns the exit status (128 + signal for a signal), or -1 on time-out.
    int Wait(std::chrono::milliseconds timeout);
    void Signal(int signalNumber);

private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline);
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
    int m_status = -1;
    bool m_reaped = false;
};

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
