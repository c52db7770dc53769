// The five job bodies behind the entry points.
#pragma once

#include <stdint.h>

namespace meshjobs {

// Single jobs: the whole body once per call.
void MarkUsedVertices(void* record);
void CompactVertices(void* record);

// Parallel-for jobs: the range loop with the job's per-index body.
void RemapIndices(void* record, void* patchContext, void* rangeSource, int32_t workerIndex);
void CountVertexReferences(void* record, void* patchContext, void* rangeSource, int32_t workerIndex);
void ConvertVertexLayout(void* record, void* patchContext, void* rangeSource, int32_t workerIndex);

}  // namespace meshjobs
