// Handler table and the building of answers from what a Python handler returns.
#include "ServingCaller.h"

#include <cstring>
#include <string>

namespace py = pybind11;

namespace talvexpy {

namespace {

std::string TypeName(const py::handle& value) { return py::str(value.get_type().attr("__name__")); }

void ReportRefusal(std::int32_t procedure, const std::string& why) {
    ReportDiagnostic("talvex05u: call of procedure " + std::to_string(procedure) + " not answered: " + why);
}

// Runs the handler; false (reported) when it raised.
bool RunHandler(const py::object& handler, const CUdpDataBlockEx& call, py::object* result) {
    try {
        *result = handler(call);
        return true;
    } catch (py::error_already_set& error) {
        ReportRefusal(call.m_nProcedure, "the handler raised " + TypeName(error.value()) + ": " +
                                             std::string(py::str(error.value())));
        return false;
    }
}

}  // namespace

void HandlerTable::Set(const py::object& procedure, const py::object& handler) {
    if (!handler.is_none() && !PyCallable_Check(handler.ptr()))
        throw py::type_error("serve: the handler must be callable (taking a Block), or None to stop serving; got " +
                             TypeName(handler));
    if (procedure.is_none()) {
        m_everyProcedure = handler.is_none() ? py::object() : handler;
        return;
    }
    if (!py::isinstance<py::int_>(procedure))
        throw py::type_error("serve: the procedure must be an int or None, got " + TypeName(procedure));
    auto number = procedure.cast<long long>();
    if (number < INT32_MIN || number > INT32_MAX)
        throw py::value_error("serve: procedure " + std::to_string(number) + " is not a 32-bit number");
    if (handler.is_none()) {
        m_byProcedure.erase(static_cast<std::int32_t>(number));
    } else {
        m_byProcedure[static_cast<std::int32_t>(number)] = handler;
    }
}

py::object HandlerTable::Find(std::int32_t procedure) const {
    auto found = m_byProcedure.find(procedure);
    if (found != m_byProcedure.end()) return found->second;
    return m_everyProcedure ? m_everyProcedure : py::object(py::none());
}

bool BuildAnswer(const HandlerTable& handlers, CUdpDataBlockEx* call, std::int64_t maxWords) {
    py::object handler = handlers.Find(call->m_nProcedure);
    if (handler.is_none()) return false;   // nobody serves it: no answer, as for any unserved procedure
    py::object result;
    if (!RunHandler(handler, *call, &result) || result.is_none()) return false;
    if (!py::isinstance<CUdpDataBlockEx>(result)) {
        ReportRefusal(call->m_nProcedure, "the handler returned " + TypeName(result) + ", not a Block or None");
        return false;
    }
    const auto& answer = result.cast<const CUdpDataBlockEx&>();
    if (answer.m_nLength > maxWords) {
        ReportRefusal(call->m_nProcedure, "the answer has " + std::to_string(answer.m_nLength) +
                                              " words; this caller sends at most " + std::to_string(maxWords) +
                                              (maxWords == kBroadcastAnswerWords ? " in a broadcast answer" : ""));
        return false;
    }
    call->ResetForReturn();
    if (!call->CheckBufferSize(answer.m_nLength)) {
        ReportRefusal(call->m_nProcedure, "no memory for the answer");
        return false;
    }
    if (answer.m_nLength > 0)
        std::memcpy(call->m_pData, answer.m_pData, sizeof(std::int32_t) * static_cast<std::size_t>(answer.m_nLength));
    call->m_nLength = answer.m_nLength;
    return true;
}

}  // namespace talvexpy
