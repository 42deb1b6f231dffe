#pragma once
// The caller of the one-shot commands (call, event, ping, broadcast): started on
// a system-chosen port with no peer, stopped when the command ends.
#include <Talvex05u.h>

#include <memory>
#include <string>

namespace cli {

// Starts `caller` on a system-chosen port with no peer (no ping thread) and stops
// it again when the guard goes out of scope.
class StartedCaller {
public:
    explicit StartedCaller(CRP_Caller* caller) : m_caller(caller) {}
    ~StartedCaller();
    StartedCaller(const StartedCaller&) = delete;
    StartedCaller& operator=(const StartedCaller&) = delete;

    // False with a message when the caller could not be started.
    bool Start(std::string* error);

private:
    CRP_Caller* m_caller;
    bool m_started = false;
};

// Text of a caught socket exception (and frees it).
std::string TakeExceptionText(CBlockingSocketException* exception);

}  // namespace cli
