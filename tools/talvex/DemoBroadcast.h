#pragma once
// The broadcast step of `talvex demo`: inside a private network namespace (the
// program re-executed under `unshare -n` with --broadcast-inside), two serving
// callers answer one broadcast to 255.255.255.255 on loopback.
#include "DemoSupport.h"

namespace cli {

// Runs the step from the outside; skipped (with the reason) where no private
// network namespace can be made.
StepReport RunBroadcastStep();

// The inside of the namespace: sets up loopback broadcast, serves, broadcasts,
// and prints "RESULT OK|FAILED|SKIP <detail>". Exit 0.
int RunBroadcastInside();

}  // namespace cli
