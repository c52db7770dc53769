// The five host functions, one table for every job. Zero-initialised data
// (no constructor runs); written only by the initializers, read by the jobs.
#pragma once

#include "meshjobs/records.h"

namespace meshjobs {

struct ExternalTable {
    AbortFunction burstAbort;
    CheckAccessFunction checkWrite;
    CheckAccessFunction checkRead;
    GetWorkStealingRangeFunction getWorkStealingRange;
    PatchBufferMinMaxRangesFunction patchBufferMinMaxRanges;
};

extern ExternalTable g_externals;

void InitializeExternals(ResolveFunction resolve);

}  // namespace meshjobs
