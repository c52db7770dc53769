#include "binding/external_table.h"

#include "meshjobs/names.h"

namespace meshjobs {

ExternalTable g_externals;

void InitializeExternals(ResolveFunction resolve) {
    // Resolved in the host's documented order; each result is stored as given.
    g_externals.burstAbort = reinterpret_cast<AbortFunction>(resolve(HOST_FUNCTION_NAMES[0]));
    g_externals.checkWrite = reinterpret_cast<CheckAccessFunction>(resolve(HOST_FUNCTION_NAMES[1]));
    g_externals.checkRead = reinterpret_cast<CheckAccessFunction>(resolve(HOST_FUNCTION_NAMES[2]));
    g_externals.getWorkStealingRange =
        reinterpret_cast<GetWorkStealingRangeFunction>(resolve(HOST_FUNCTION_NAMES[3]));
    g_externals.patchBufferMinMaxRanges =
        reinterpret_cast<PatchBufferMinMaxRangesFunction>(resolve(HOST_FUNCTION_NAMES[4]));
}

}  // namespace meshjobs
