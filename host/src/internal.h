// Pieces shared between the host's source files.
#pragma once

#include "meshjobs/host.h"

namespace meshjobs::host::detail {

// Whether burst.initialize has run in the loaded image behind `library`.
bool IsInitialized(const Library& library);

// Checks a job id before it indexes any table.
void RequireKnownJob(JobId job);
const char* JobName(JobId job);

}  // namespace meshjobs::host::detail
