#pragma once
// CBlockingSocketException: the exception of every socket operation, thrown as a
// pointer from `new` and disposed of by the catcher with Delete(). It keeps the
// operation's text and the thread's last socket error (Windows Sockets numbering).
#include "talvex05u/platform/CString.h"
#include "talvex05u/platform/RuntimeClass.h"

class CBlockingSocketException : public CException {
public:
    explicit CBlockingSocketException(const char* operation);
    ~CBlockingSocketException() override = default;

    const CRuntimeClass* GetRuntimeClass() const override;
    static const CRuntimeClass* GetThisClass();
    // "%s error #%d" (or "%s error" when the number is 0), cut to size - 1 characters.
    int GetErrorMessage(wchar_t* buffer, unsigned int size, unsigned int* helpContext = nullptr) const override;

    int m_nError;
    CString m_strMessage;
};
extern const CRuntimeClass classCBlockingSocketException;

// Composes the log line of a caught socket exception and hands it to the installed
// log sink (by default none: the line is dropped). Never throws, never deletes.
void LogBlockingSocketException(const char* context, CBlockingSocketException* exception);

namespace talvex {
// Receives diagnostic lines (socket exceptions, socket error classifications).
using DiagnosticSink = void (*)(const char* line, void* context);
// Installs the sink (nullptr to drop the lines again). Thread-safe.
void SetDiagnosticSink(DiagnosticSink sink, void* context);
// Hands a line to the installed sink, if any.
void EmitDiagnostic(const char* line);
}  // namespace talvex
