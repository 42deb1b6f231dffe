#include "ClientCaller.h"

#include <cwchar>
#include <string>

namespace cli {

StartedCaller::~StartedCaller() {
    if (m_started) m_caller->StopDispatchThread();
}

bool StartedCaller::Start(std::string* error) {
    // Remote port 0: no peer and no ping thread; calls name their destination.
    m_started = m_caller->StartDispatchThread(0, CString(L"127.0.0.1"), "", 0);
    if (!m_started) *error = "could not start a caller on this computer (sockets or name lookup failed)";
    return m_started;
}

std::string TakeExceptionText(CBlockingSocketException* exception) {
    wchar_t text[256] = {};
    exception->GetErrorMessage(text, sizeof text / sizeof text[0]);
    exception->Delete();
    std::string narrow;
    for (const wchar_t* c = text; *c != L'\0'; ++c) narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
    return narrow;
}

}  // namespace cli
