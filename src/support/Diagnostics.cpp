// The process-wide diagnostic sink: an application may install a callback that
// receives the library's diagnostic lines; without one the lines are dropped.
#include "talvex05u/socket/BlockingSocketException.h"

#include <mutex>

namespace talvex {
namespace {

struct InstalledSink {
    DiagnosticSink sink = nullptr;
    void* context = nullptr;
};

std::recursive_mutex& SinkMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

InstalledSink& CurrentSink() {
    static InstalledSink installed;
    return installed;
}

}  // namespace

void SetDiagnosticSink(DiagnosticSink sink, void* context) {
    std::lock_guard<std::recursive_mutex> guard(SinkMutex());
    CurrentSink() = InstalledSink{sink, context};
}

// The sink runs under the lock so that it is never called after it was replaced;
// the lock is recursive, so a sink may itself emit a line or replace the sink.
void EmitDiagnostic(const char* line) {
    if (line == nullptr) return;
    std::lock_guard<std::recursive_mutex> guard(SinkMutex());
    const InstalledSink& installed = CurrentSink();
    if (installed.sink != nullptr) installed.sink(line, installed.context);
}

}  // namespace talvex
