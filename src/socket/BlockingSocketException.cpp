// CBlockingSocketException: operation text plus the thread's last socket error,
// and the composition of the log line for a caught socket exception.
#include "talvex05u/socket/BlockingSocketException.h"

#include "talvex05u/platform/SocketError.h"

#include <ctime>
#include <cwchar>
#include <string>

const CRuntimeClass classCBlockingSocketException{"CBlockingSocketException", &classCException};

namespace {

constexpr std::size_t kMessageTextLimit = 199;   // composed message, without the terminator
constexpr unsigned int kLogMessageBufferSize = 49;
constexpr std::size_t kTimeTextSize = 128;

// Operation texts are plain ASCII; each byte becomes one wide character.
std::wstring WidenOperationText(const char* operation) {
    std::wstring wide;
    if (operation == nullptr) return wide;
    for (const char* p = operation; *p != '\0'; ++p) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return wide;
}

std::string CurrentUtcTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char text[kTimeTextSize] = {};
    if (now == static_cast<std::time_t>(-1) || gmtime_r(&now, &utc) == nullptr) return std::string();
    if (std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S GMT", &utc) == 0) return std::string();
    return text;
}

std::string NarrowMessage(const wchar_t* wide) {
    std::string narrow;
    for (const wchar_t* p = wide; *p != L'\0'; ++p) {
        narrow.push_back(static_cast<unsigned>(*p) < 0x80 ? static_cast<char>(*p) : '?');
    }
    return narrow;
}

}  // namespace

CBlockingSocketException::CBlockingSocketException(const char* operation)
    : m_nError(talvex::WSAGetLastError()), m_strMessage(WidenOperationText(operation)) {}

const CRuntimeClass* CBlockingSocketException::GetRuntimeClass() const { return &classCBlockingSocketException; }
const CRuntimeClass* CBlockingSocketException::GetThisClass() { return &classCBlockingSocketException; }

int CBlockingSocketException::GetErrorMessage(wchar_t* buffer, unsigned int size, unsigned int*) const {
    if (buffer == nullptr || size == 0) return 1;
    std::wstring composed = m_strMessage.str() + L" error";
    if (m_nError != 0) composed += L" #" + std::to_wstring(m_nError);
    if (composed.size() > kMessageTextLimit) composed.resize(kMessageTextLimit);
    const std::size_t length = composed.size();
    const std::size_t copied = length < size - 1 ? length : size - 1;
    std::wmemcpy(buffer, composed.data(), copied);
    buffer[copied] = L'\0';
    return 1;
}

void LogBlockingSocketException(const char* context, CBlockingSocketException* exception) {
    try {
        wchar_t message[kLogMessageBufferSize] = {};
        if (exception != nullptr) exception->GetErrorMessage(message, kLogMessageBufferSize);
        std::string line = "WINSOCK ERROR--";
        line += context != nullptr ? context : "";
        line += ' ';
        line += NarrowMessage(message);
        line += " -- ";
        line += CurrentUtcTimeText();
        line += "\r\n";
        talvex::EmitDiagnostic(line.c_str());
    } catch (...) {
        // Logging is best effort and must never throw into the handler that called it.
    }
}
