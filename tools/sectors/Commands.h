// The three commands of the sectors tool, each on one TDirDisk.
#pragma once
#include "Options.h"

namespace sectors {

// Each returns the exit status, prints its result on standard output and
// throws TFailure for anything that stops it.
int RunInfo(const TOptions& options);
int RunRead(const TOptions& options);
int RunWrite(const TOptions& options);

}  // namespace sectors
