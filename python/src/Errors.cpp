// talvex05u.SocketError and the diagnostic handler.
#include "Errors.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace py = pybind11;

namespace talvexpy {

namespace {

// Owned for the life of the process: exception types and handlers must outlive
// every thread that may still report through them while Python shuts down.
PyObject* g_socketErrorType = nullptr;
PyObject* g_diagnosticHandler = nullptr;   // a Python callable, or nullptr for the logger
std::atomic<bool> g_pythonGone{false};

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (const wchar_t* c = text; c != nullptr && *c != L'\0'; ++c) narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
    return narrow;
}

void CallDiagnosticHandler(const char* line) {
    py::gil_scoped_acquire held;
    try {
        if (g_diagnosticHandler != nullptr) {
            py::reinterpret_borrow<py::object>(g_diagnosticHandler)(py::str(line));
        } else {
            // The module's own reports (a handler that failed, an answer not sent) are
            // warnings; the library's socket diagnostics are debug lines, since every
            // stop closes sockets under the dispatcher and reports that too.
            const char* level = std::strncmp(line, "talvex05u:", 10) == 0 ? "warning" : "debug";
            py::module_::import("logging").attr("getLogger")("talvex05u").attr(level)("%s", py::str(line));
        }
    } catch (py::error_already_set& error) {
        error.discard_as_unraisable("talvex05u diagnostic handler");
    }
}

// The library's diagnostic sink: hands every line to Python, or to standard error
// once the interpreter is shutting down.
thread_local std::string t_returnChunkLoss;

void DiagnosticSink(const char* line, void*) {
    if (line == nullptr) return;
    // Told on the thread whose call lost them: the call's exception names them.
    if (std::strstr(line, "return chunks") != nullptr) t_returnChunkLoss = line;
    if (g_pythonGone.load() || Py_IsInitialized() == 0) {
        std::fprintf(stderr, "talvex05u: %s\n", line);
        return;
    }
    CallDiagnosticHandler(line);
}

void SetDiagnosticHandler(py::object handler) {
    if (!handler.is_none() && !PyCallable_Check(handler.ptr()))
        throw py::type_error("set_diagnostic_handler wants a callable taking one str, or None for the logger");
    PyObject* previous = g_diagnosticHandler;
    g_diagnosticHandler = handler.is_none() ? nullptr : handler.release().ptr();
    Py_XDECREF(previous);
}

void TranslateSocketFailure(std::exception_ptr pending) {
    try {
        if (pending) std::rethrow_exception(pending);
    } catch (const SocketFailure& failure) {
        py::object type = py::reinterpret_borrow<py::object>(g_socketErrorType);
        py::object error = type(failure.Error(), failure.ErrorText());
        error.attr("operation") = failure.Operation();
        PyErr_SetObject(g_socketErrorType, error.ptr());
    }
}

}  // namespace

SocketFailure::SocketFailure(std::string operation, int error)
    : m_operation(std::move(operation)), m_error(error) {
    m_message = m_operation + " failed: Windows Sockets error " + std::to_string(m_error) + " (" + ErrorText() + ")";
}

std::string SocketFailure::ErrorText() const { return Narrow(talvex::DescribeSocketError(m_error).text); }

SocketFailure TakeSocketException(CBlockingSocketException* exception) {
    std::string operation = exception->m_strMessage.IsEmpty() ? "socket operation" : Narrow(exception->m_strMessage.GetString());
    int error = exception->m_nError;
    exception->Delete();
    return SocketFailure(std::move(operation), error);
}

void ReportDiagnostic(const std::string& line) { talvex::EmitDiagnostic(line.c_str()); }

std::string TakeReturnChunkLoss() { return std::exchange(t_returnChunkLoss, std::string()); }

void RegisterErrors(py::module_& module) {
    g_socketErrorType = PyErr_NewExceptionWithDoc(
        "talvex05u.SocketError",
        "A socket operation of the library failed. errno is the Windows Sockets error number,\n"
        "strerror its description, operation the failed operation (\"Send timeout\", ...).",
        PyExc_OSError, nullptr);
    if (g_socketErrorType == nullptr) throw py::error_already_set();
    module.attr("SocketError") = py::reinterpret_borrow<py::object>(g_socketErrorType);
    py::register_exception_translator(&TranslateSocketFailure);

    module.def("set_diagnostic_handler", &SetDiagnosticHandler, py::arg("handler"),
               "Sends the library's diagnostic lines (socket errors, exceptions raised by serving\n"
               "handlers, answers not sent) to handler(line), called with one str from any thread\n"
               "with the GIL held; an exception it raises is reported as unraisable. None restores\n"
               "the default: the logging.getLogger('talvex05u') logger (the module's own lines as\n"
               "warnings, the library's socket lines as debug). Raises TypeError for a non-callable.");
    talvex::SetDiagnosticSink(&DiagnosticSink, nullptr);
    // At interpreter exit the library must stop calling into Python.
    module.add_object("_stop_reporting", py::cpp_function([] {
        g_pythonGone = true;
        talvex::SetDiagnosticSink(nullptr, nullptr);
    }));
    py::module_::import("atexit").attr("register")(module.attr("_stop_reporting"));
}

}  // namespace talvexpy
