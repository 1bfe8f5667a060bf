// One source filtered into one target: kestrum SOURCE TARGET FILTER.
#pragma once

#include "cli/Options.h"

namespace kestrum {

// Runs the filter once, printing the source's description, the log and, on a
// terminal, progress and a summary. Returns the exit status: 0 done, 1
// failed (one error line printed), kUsageError for a range beyond 32 bits.
int RunSingle(const TOptions& Options);

}  // namespace kestrum
