// The library's module object: one instance, constructed when the shared library is
// loaded, that makes the millisecond clock ready. Nothing else of the library runs at load.
#include "talvex05u/shmem/MemPrimitives.h"
#include "shmem/MemTime.h"

namespace {

class CTalvexApp {
public:
    CTalvexApp() { InitInstance(); }
    ~CTalvexApp() { ExitInstance(); }
    CTalvexApp(const CTalvexApp&) = delete;
    CTalvexApp& operator=(const CTalvexApp&) = delete;

    // Runs at load: the clock is ready before any program code calls memtimeGet.
    // Loading never fails here, whatever the clock says.
    bool InitInstance() {
        talvex::memtimeInit();
        return true;
    }
    // Runs at unload; there is nothing of the library's own to undo.
    int ExitInstance() { return 0; }
};

// Constructed while the library is loaded, before the program's main runs.
const CTalvexApp theApp;

}  // namespace
