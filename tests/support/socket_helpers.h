#pragma once
// Helpers shared by the socket tests: the text and number of a thrown socket
// exception, and a diagnostic sink that collects lines into a vector.
#include "talvex05u/socket/BlockingSocketException.h"

#include <string>
#include <vector>

namespace testsupport {

struct Thrown {
    std::string text = "<no exception>";
    int error = -1;
};

// Runs `operation`; returns the operation text and number of the socket exception it throws.
template <typename Operation>
Thrown CatchSocketException(Operation&& operation) {
    Thrown result;
    try {
        operation();
    } catch (CBlockingSocketException* exception) {
        result.text.clear();
        for (wchar_t c : exception->m_strMessage.str()) result.text.push_back(static_cast<char>(c));
        result.error = exception->m_nError;
        exception->Delete();
    }
    return result;
}

inline void CollectLine(const char* line, void* lines) { static_cast<std::vector<std::string>*>(lines)->push_back(line); }

}  // namespace testsupport
