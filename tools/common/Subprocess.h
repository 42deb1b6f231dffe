#pragma once
// A child process (of `talvex demo`, which re-executes itself in another role, and
// of the tests): started with posix_spawn, its standard output (and error, unless
// asked otherwise) read with time limits, its standard input closed to tell it to
// finish. Killed if still running when the object goes.
#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace cli {

class Subprocess {
public:
    Subprocess() = default;
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Starts `program` (looked up in PATH when it has no slash) with `args`
    // (args[0] is the program's name). False with a message when it cannot start.
    // Without `withErrors` the child's standard error stays the caller's.
    bool Start(const std::string& program, const std::vector<std::string>& args, std::string* error,
               bool withErrors = true);
    // One line of the child's output (with its standard error, unless started
    // without); false at its end or when `timeout` passed first.
    bool ReadLine(std::string* line, std::chrono::milliseconds timeout);
    // Everything the child writes until its output ends or `timeout` passes.
    std::string ReadAll(std::chrono::milliseconds timeout);
    // Closes the child's standard input: the child's signal to finish.
    void CloseInput();
    // Waits for the exit; the exit status (128 + signal for a signal), or -1 on time-out.
    int Wait(std::chrono::milliseconds timeout);

    // Sends `signalNumber` to the child while it has not been waited for.
    void Signal(int signalNumber);

    pid_t Pid() const { return m_pid; }

    // Path of the running program, for re-executing it.
    static std::string SelfPath();

private:
    // Waits until output comes or `deadline`; false once the output has ended or the deadline passed.
    bool ReadMore(std::chrono::steady_clock::time_point deadline);

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    std::string m_buffer;
    bool m_reaped = false;
    int m_status = -1;
};

}  // namespace cli
