#pragma once
// The transfer cases of `talvex bench`: 1 MiB as a chunked call and as a chunked
// return, a 32767-word return pulled packet by packet, each beside a raw UDP
// stop-and-wait transfer of full-size datagrams; and the cost of one received chunk
// late in a caller's life against its first chunks.
#include "BenchCalls.h"
#include "BenchHarness.h"

#include <vector>

namespace bench {

void RunTransferCases(LocalPair& pair, bool quick, Progress& progress, std::vector<CaseResult>* results);
void RunChunkHistoryCase(bool quick, Progress& progress, std::vector<CaseResult>* results);

constexpr int kTransferCaseCount = 3;
constexpr int kChunkHistoryCaseCount = 1;

}  // namespace bench
