#pragma once
// The broadcast case of `talvex bench`: 16 answering callers and one broadcasting
// caller inside a private network namespace (the program re-executed under
// `unshare -n`), timed from the send until the 16th answer is in the collection,
// beside 16 raw UDP sockets answering one raw broadcast.
#include "BenchHarness.h"

#include <vector>

namespace bench {

// From the measuring process: runs the inside in a namespace; skipped with the reason where none can be made.
void RunBroadcastCase(bool quick, Progress& progress, std::vector<CaseResult>* results);
constexpr int kBroadcastCaseCount = 1;

// The inside (`talvex bench --broadcast-inside [--quick]`): prints "RESULT ..." or "SKIP reason".
int RunBroadcastInside(bool quick);

}  // namespace bench
