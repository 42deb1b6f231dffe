// Entry point of the talvex05u module: Python access to the library's data block,
// callers and trace stream.
#include "Bindings.h"

#include "ToolDefaults.h"

PYBIND11_MODULE(talvex05u, module) {
    module.doc() =
        "Remote procedure calls over UDP/IPv4 from Python, through the Talvex05u library.\n\n"
        "Block is the data block a call carries; Caller and CallerEx call and serve procedures;\n"
        "DebugStream sends trace lines to a trace viewer. Every wait of the library releases the\n"
        "GIL, so several threads may call through one caller at once; serving handlers run on the\n"
        "caller's dispatch thread with the GIL taken.";
    module.attr("__version__") = talvex::tools::kVersion;   // the project version, as `talvex --version`
    talvexpy::RegisterErrors(module);
    talvexpy::RegisterBlock(module);
    talvexpy::RegisterCallers(module);
    talvexpy::RegisterDebugStream(module);
}
