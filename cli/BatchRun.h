// Many sources through one filter in one process:
// kestrum --output-dir DIR SOURCE... FILTER.
#pragma once

#include "cli/Options.h"

namespace kestrum {

// Filters every source into the output folder under its own file name,
// several files at a time (up to Options.Threads, or the core count). Each
// target is written as a single run writes it; a file that fails prints its
// error and the others go on. Prints progress over the whole batch on a
// terminal and a summary at the end. Returns 0 when every file was filtered,
// 1 when any failed, kUsageError (before anything is written) when two
// sources would write the same target, a target would be its own source, or
// a source is "-".
int RunBatch(const TOptions& Options);

}  // namespace kestrum
