#pragma once
// Errors of the module: socket exceptions of the library become talvex05u.SocketError
// (with the Windows Sockets number and text), and the library's diagnostic lines go
// to a Python handler (by default the "talvex05u" logger).
#include <Talvex05u.h>

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <utility>

namespace talvexpy {

// A socket exception of the library, taken over (the library's object is freed)
// so that it can cross back to Python once the GIL is held again.
class SocketFailure : public std::exception {
public:
    SocketFailure(std::string operation, int error);
    const char* what() const noexcept override { return m_message.c_str(); }
    const std::string& Operation() const { return m_operation; }
    int Error() const { return m_error; }
    std::string ErrorText() const;

private:
    std::string m_operation;
    int m_error;
    std::string m_message;
};

// The library's line about return chunks that the calling thread's last call lost
// ("" when none), taken once.
std::string TakeReturnChunkLoss();

// Converts a caught library exception into a SocketFailure and frees it.
SocketFailure TakeSocketException(CBlockingSocketException* exception);

// Runs `work` with the GIL released; a socket exception of the library comes out
// as SocketFailure (raised as talvex05u.SocketError once the GIL is back).
template <class Work>
auto RunReleased(Work&& work) {
    pybind11::gil_scoped_release released;
    try {
        return std::forward<Work>(work)();
    } catch (CBlockingSocketException* exception) {
        throw TakeSocketException(exception);
    }
}

// Reports a line through the library's diagnostic sink (callable from any thread).
void ReportDiagnostic(const std::string& line);

}  // namespace talvexpy
