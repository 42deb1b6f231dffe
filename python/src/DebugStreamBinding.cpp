// talvex05u.DebugStream: CRPCDebugStream with traces registered by name on first use.
#include "Bindings.h"

#include <Talvex05u.h>

#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace py = pybind11;

namespace talvexpy {

namespace {

constexpr std::size_t kLongestName = sizeof(CRPCDebugStream::TraceEntry::name) - 1;

class DebugStreamHandle {
public:
    DebugStreamHandle(long long identifier, const std::string& firstName, const std::string& secondName,
                      long long viewerPort) {
        if (identifier < 0 || identifier > 65535)
            throw py::value_error("DebugStream: identifier " + std::to_string(identifier) + " is not in 0 .. 65535");
        if (viewerPort < 1 || viewerPort > 65535)
            throw py::value_error("DebugStream: viewer_port " + std::to_string(viewerPort) + " is not in 1 .. 65535");
        CheckText(firstName, "first_name");
        CheckText(secondName, "second_name");
        m_stream = std::make_unique<CRPCDebugStream>(static_cast<unsigned short>(identifier), firstName.c_str(),
                                                     secondName.c_str());
        m_stream->SetViewerPort(static_cast<std::uint16_t>(viewerPort));
    }
    ~DebugStreamHandle() {
        py::gil_scoped_release released;   // the destructor joins the worker thread
        m_stream.reset();
    }
    DebugStreamHandle(const DebugStreamHandle&) = delete;
    DebugStreamHandle& operator=(const DebugStreamHandle&) = delete;

    void Start() {
        py::gil_scoped_release released;
        m_stream->Start();
    }
    void Stop() {
        py::gil_scoped_release released;
        m_stream->Stop();
    }

    // The trace's number: registered under `name` the first time it is used.
    std::int32_t TraceNumber(const std::string& name) {
        CheckText(name, "trace name");
        if (name.size() > kLongestName)
            throw py::value_error("trace name '" + name + "' is longer than " + std::to_string(kLongestName) +
                                  " characters");
        auto found = m_numbers.find(name);
        if (found != m_numbers.end()) return found->second;
        std::int32_t number = m_stream->AddTrace(name.c_str(), "");
        if (number < 0) throw py::value_error("trace '" + name + "': all 32 traces of the stream are taken");
        m_numbers.emplace(name, number);
        return number;
    }

    void Trace(const std::string& name, const std::string& text) {
        CheckText(text, "trace text");
        if (text.find_first_of("\r\n") != std::string::npos)
            throw py::value_error("trace text holds a line break; one call sends one line");
        std::int32_t number = TraceNumber(name);
        py::gil_scoped_release released;
        m_stream->Trace(number, "%s", text.c_str());
    }

    std::int32_t State() const { return m_stream->GetState(); }
    std::map<std::string, std::int32_t> Traces() const { return m_numbers; }

private:
    static void CheckText(const std::string& text, const char* what) {
        if (text.find('\0') != std::string::npos)
            throw py::value_error(std::string(what) + " holds a zero byte");
    }

    std::unique_ptr<CRPCDebugStream> m_stream;
    std::map<std::string, std::int32_t> m_numbers;
};

}  // namespace

// DebugStream.State: the stream's states as an IntEnum.
py::object MakeStateEnum() {
    py::list members;
    for (auto [name, value] : {std::pair{"STOPPED", 0}, {"CONNECTING", 1}, {"CONNECTED", 2}, {"ENDING", 3}})
        members.append(py::make_tuple(name, value));
    py::object state = py::module_::import("enum").attr("IntEnum")("State", members, py::arg("module") = "talvex05u",
                                                                    py::arg("qualname") = "DebugStream.State");
    state.attr("__doc__") = "The state of a DebugStream: STOPPED, CONNECTING, CONNECTED (lines are sent) or ENDING.";
    return state;
}

void RegisterDebugStream(py::module_& module) {
    py::object stateEnum = MakeStateEnum();
    py::class_<DebugStreamHandle> stream(module, "DebugStream",
        "Sends trace lines over TCP to a trace viewer on 127.0.0.1 (port 45278 by default).\n"
        "A worker thread keeps the connection; lines traced while not connected are lost.\n"
        "No method waits for the network.");
    stream.attr("State") = stateEnum;
    stream
        .def(py::init<long long, const std::string&, const std::string&, long long>(), py::arg("identifier"),
             py::arg("first_name"), py::arg("second_name"), py::arg("viewer_port") = talvex::kTraceViewerPort,
             "A stream introduced to the viewer by identifier (0 .. 65535) and two names (cut to\n"
             "63 characters), for a viewer on 127.0.0.1:viewer_port. Not connected until start()\n"
             "or the first trace. Raises ValueError for an identifier or port out of range or a\n"
             "name holding a zero byte.")
        .def("start", &DebugStreamHandle::Start,
             "Starts connecting to the viewer and returns at once; the worker thread connects\n"
             "(state CONNECTING, then CONNECTED).")
        .def("stop", &DebugStreamHandle::Stop,
             "Closes the connection and returns at once (state STOPPED); the next trace or start()\n"
             "connects again.")
        .def("__enter__", [](DebugStreamHandle& self) -> DebugStreamHandle& { self.Start(); return self; },
             py::return_value_policy::reference, "start(), returning the stream.")
        .def("__exit__", [](DebugStreamHandle& self, const py::args&) { self.Stop(); return false; },
             "stop(); exceptions pass on.")
        .def("trace", &DebugStreamHandle::Trace, py::arg("name"), py::arg("text"),
             "Sends text as one line under the trace `name` (registered on first use; at most 32\n"
             "names per stream, each up to 63 characters) and returns None without waiting. Lines\n"
             "longer than 253 characters are cut; a line traced while not CONNECTED is lost.\n"
             "Raises ValueError for a 33rd name, a name too long, a line break or a zero byte.")
        .def_property_readonly("state", [stateEnum](const DebugStreamHandle& self) { return stateEnum(self.State()); },
                               "A DebugStream.State: STOPPED, CONNECTING, CONNECTED (lines are sent) or ENDING.")
        .def_property_readonly("traces", &DebugStreamHandle::Traces, "The registered trace names and their numbers.");
}

}  // namespace talvexpy
