#pragma once
// The parts of the talvex05u Python module, one per concern; Module.cpp calls each
// once when the module is imported.
#include <pybind11/pybind11.h>

namespace talvexpy {

void RegisterErrors(pybind11::module_& module);
void RegisterBlock(pybind11::module_& module);
void RegisterCallers(pybind11::module_& module);
void RegisterDebugStream(pybind11::module_& module);

}  // namespace talvexpy
