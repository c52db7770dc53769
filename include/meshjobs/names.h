// The names the host's loader and resolver know: job hashes, export names and
// host function names. Spelled once, in the C header (meshjobs/meshjobs.h),
// and shared by the library and the host.
#pragma once

#include "meshjobs/meshjobs.h"

namespace meshjobs {

enum class JobId : int {
    CompactVertices = 0,
    MarkUsedVertices = 1,
    ConvertVertexLayout = 2,
    CountVertexReferences = 3,
    RemapIndices = 4,
};

inline constexpr int JOB_COUNT = MESHJOBS_JOB_COUNT;

// In job order: the order burst.initialize visits them.
inline constexpr const char* JOB_HASHES[JOB_COUNT] = {
    MESHJOBS_HASH_COMPACT_VERTICES,          MESHJOBS_HASH_MARK_USED_VERTICES,
    MESHJOBS_HASH_CONVERT_VERTEX_LAYOUT,     MESHJOBS_HASH_COUNT_VERTEX_REFERENCES,
    MESHJOBS_HASH_REMAP_INDICES,
};

inline constexpr const char* JOB_NAMES[JOB_COUNT] = {
    "CompactVerticesJob",       "MarkUsedVerticesJob", "ConvertVertexLayoutJob",
    "CountVertexReferencesJob", "RemapIndicesJob",
};

inline constexpr const char* LIBRARY_INITIALIZER_NAME = MESHJOBS_LIBRARY_INITIALIZER;

// In the order an initializer resolves them.
inline constexpr int HOST_FUNCTION_COUNT = MESHJOBS_HOST_FUNCTION_COUNT;
inline constexpr const char* HOST_FUNCTION_NAMES[HOST_FUNCTION_COUNT] = {
    MESHJOBS_HOST_ABORT,
    MESHJOBS_HOST_CHECK_WRITE,
    MESHJOBS_HOST_CHECK_READ,
    MESHJOBS_HOST_GET_WORK_STEALING_RANGE,
    MESHJOBS_HOST_PATCH_BUFFER_MIN_MAX_RANGES,
};

}  // namespace meshjobs
