#pragma once
// The shared-memory step of `talvex demo`: this process calls a second process
// (the program re-executed with --shm-peer) through the shared-memory channel of
// two extended callers, with the region files in a temporary directory.
#include "DemoSupport.h"

#include <string>
#include <vector>

namespace cli {

// Runs the calling side: starts the peer process, calls it, ends it, removes the files.
StepReport RunSharedMemoryStep();

// The answering side, run in the peer process. `args` are DIR KEY PORT SIZE.
// Prints "ready <telegram thread id>", serves until its standard input closes.
int RunSharedMemoryPeer(const std::vector<std::string>& args);

}  // namespace cli
