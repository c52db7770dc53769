// The messages between a worker process and the tool that started it: the
// worker says which phase it is in and, at the end, the file's outcome; the
// tool turns any other ending into a one-line reason.
#pragma once

#include <string>

#include "toolkit/file_outcome.h"
#include "toolkit/worker_pool.h"

namespace meshjobs::tool {

// Phases a worker passes through; a crash is blamed on the one it was in.
enum class WorkerPhase { Starting, Reading, Processing, Writing, ReadingBack };

// Worker side. Without a result channel (not started by the pool) these do
// nothing.
void ReportPhase(WorkerPhase phase);
void ReportOutcome(const FileOutcome& outcome);
// A staging folder the worker made: if the worker dies, the tool removes it.
void ReportStaging(const std::string& folder);
// From now on a failed allocation ends the worker with OUT_OF_MEMORY_EXIT.
void ExitOnFailedAllocation();

// Test-only: MESHJOBS_TEST_FAULT=KIND:TEXT[@PHASE] makes a worker whose
// input path contains TEXT crash (KIND crash), abort (abort), hang (hang) or
// allocate without bound (allocate) when it reaches PHASE (starting, reading,
// processing, writing, reading back; default starting), so that each failure
// is tested on purpose. Names the worker's input; the fault fires from here
// or from ReportPhase.
void InjectTestFault(const std::string& input);

// Tool side: the worker's outcome, or the reason it ended without one.
FileOutcome OutcomeOf(const WorkerEnding& ending, const WorkerLimits& limits);
// Removes the staging folders a worker left behind when it died.
void RemoveLeftovers(const WorkerEnding& ending);

}  // namespace meshjobs::tool
