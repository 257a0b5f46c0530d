#pragma once
// Ctrl+C, SIGTERM and SIGHUP: noted by the platform's handler, acted on
// by the walk, which stops through the engine at its next key, and by a
// replace at each of its stages. SIGPIPE and SIGXFSZ are ignored, so that
// a closed pipe or a file over its size limit is a failed write to report.

#include <atomic>

namespace keyscour::cli {

void CatchInterrupts();
bool Interrupted();
// The flag the handler sets, passed down to what stops at it: the walk,
// the rule, the reading of a file.
const std::atomic<bool>& InterruptFlag();

// For tests: KEYSCOUR_TEST_SIGNAL_AT=STAGE[:SIGNAL] raises SIGNAL (SIGINT
// by default) at that stage, and KEYSCOUR_TEST_PAUSE_AT=STAGE:MS waits
// there, so that a test can act at a chosen point. Nothing otherwise.
void TestSeam(const char* stage);

}  // namespace keyscour::cli
