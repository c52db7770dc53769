// The names the host's loader and resolver know: job hashes, export names and
// host function names. Shared by the library and the host so both spell them
// from one place.
#pragma once

namespace meshjobs {

enum class JobId : int {
    CompactVertices = 0,
    MarkUsedVertices = 1,
    ConvertVertexLayout = 2,
    CountVertexReferences = 3,
    RemapIndices = 4,
};

inline constexpr int JOB_COUNT = 5;

// In job order: the order burst.initialize visits them.
#define MESHJOBS_HASH_COMPACT_VERTICES "3036c8b5b71e8d01691f368371980499"
#define MESHJOBS_HASH_MARK_USED_VERTICES "0610e1b43e6cd523a1adbe4755be3088"
#define MESHJOBS_HASH_CONVERT_VERTEX_LAYOUT "6fcca75331653a66a58948807a79e967"
#define MESHJOBS_HASH_COUNT_VERTEX_REFERENCES "15c788d1be87c74f57d478fdb4de2c4e"
#define MESHJOBS_HASH_REMAP_INDICES "a1850c93c57a62f189e35bb888a762ec"

inline constexpr const char* JOB_HASHES[JOB_COUNT] = {
    MESHJOBS_HASH_COMPACT_VERTICES,          MESHJOBS_HASH_MARK_USED_VERTICES,
    MESHJOBS_HASH_CONVERT_VERTEX_LAYOUT,     MESHJOBS_HASH_COUNT_VERTEX_REFERENCES,
    MESHJOBS_HASH_REMAP_INDICES,
};

inline constexpr const char* JOB_NAMES[JOB_COUNT] = {
    "CompactVerticesJob",       "MarkUsedVerticesJob", "ConvertVertexLayoutJob",
    "CountVertexReferencesJob", "RemapIndicesJob",
};

inline constexpr const char* LIBRARY_INITIALIZER_NAME = "burst.initialize";
#define MESHJOBS_JOB_INITIALIZER_PREFIX "burst.initialize."
#define MESHJOBS_EXTERNALS_INITIALIZER_PREFIX "burst.initialize.externals."
#define MESHJOBS_STATICS_INITIALIZER_PREFIX "burst.initialize.statics."

// In the order an initializer resolves them.
inline constexpr int HOST_FUNCTION_COUNT = 5;
inline constexpr const char* HOST_FUNCTION_NAMES[HOST_FUNCTION_COUNT] = {
    "burst_abort",
    "Unity.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckWriteAndThrowNoEarlyOut_Injected",
    "Unity.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckReadAndThrowNoEarlyOut_Injected",
    "Unity.Jobs.LowLevel.Unsafe.JobsUtility::GetWorkStealingRange",
    "Unity.Jobs.LowLevel.Unsafe.JobsUtility::PatchBufferMinMaxRanges",
};

}  // namespace meshjobs
