/* libmeshjobs' binary interface for hosts written in C (C99) or C++: the job
 * records the host lays out, the attribute descriptor, the export names, the
 * five host functions the library resolves by name, and the signatures of
 * the exports. Little-endian, 8-byte pointers; every offset is fixed. */
#ifndef MESHJOBS_MESHJOBS_H
#define MESHJOBS_MESHJOBS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Exports: 21 names ------------------------------------------------ */

/* Job hashes, in job order (the order MESHJOBS_LIBRARY_INITIALIZER visits
 * them). Each hash is the job's entry point; prefixed, its initializers. */
#define MESHJOBS_HASH_COMPACT_VERTICES "3036c8b5b71e8d01691f368371980499"
#define MESHJOBS_HASH_MARK_USED_VERTICES "0610e1b43e6cd523a1adbe4755be3088"
#define MESHJOBS_HASH_CONVERT_VERTEX_LAYOUT "6fcca75331653a66a58948807a79e967"
#define MESHJOBS_HASH_COUNT_VERTEX_REFERENCES "15c788d1be87c74f57d478fdb4de2c4e"
#define MESHJOBS_HASH_REMAP_INDICES "a1850c93c57a62f189e35bb888a762ec"
#define MESHJOBS_JOB_COUNT 5

/* Initializes every job: meshjobs_initializer_fn. */
#define MESHJOBS_LIBRARY_INITIALIZER "burst.initialize"
/* Followed by a hash: meshjobs_initializer_fn, meshjobs_initializer_fn,
 * meshjobs_statics_initializer_fn. Write MESHJOBS_JOB_INITIALIZER_PREFIX
 * MESHJOBS_HASH_REMAP_INDICES for the name. */
#define MESHJOBS_JOB_INITIALIZER_PREFIX "burst.initialize."
#define MESHJOBS_EXTERNALS_INITIALIZER_PREFIX "burst.initialize.externals."
#define MESHJOBS_STATICS_INITIALIZER_PREFIX "burst.initialize.statics."
#define MESHJOBS_EXPORT_COUNT 21

/* ---- Host functions, resolved by these names, in this order ------------ */

#define MESHJOBS_HOST_ABORT "burst_abort"
#define MESHJOBS_HOST_CHECK_WRITE \
    "Unity.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckWriteAndThrowNoEarlyOut_Injected"
#define MESHJOBS_HOST_CHECK_READ \
    "Unity.Collections.LowLevel.Unsafe.AtomicSafetyHandle::CheckReadAndThrowNoEarlyOut_Injected"
#define MESHJOBS_HOST_GET_WORK_STEALING_RANGE "Unity.Jobs.LowLevel.Unsafe.JobsUtility::GetWorkStealingRange"
#define MESHJOBS_HOST_PATCH_BUFFER_MIN_MAX_RANGES "Unity.Jobs.LowLevel.Unsafe.JobsUtility::PatchBufferMinMaxRanges"
#define MESHJOBS_HOST_FUNCTION_COUNT 5

/* ---- Container records ------------------------------------------------- */

typedef struct meshjobs_atomic_safety_handle {
    int32_t* versionCell; /* host-owned; its value encodes the permissions */
    int32_t version;
    int32_t safetyId;
} meshjobs_atomic_safety_handle; /* 16 bytes */

/* A check passes without a host call when (*versionCell & mask) == version. */
#define MESHJOBS_READ_MASK 0xFFFFFFF9u
#define MESHJOBS_WRITE_MASK 0xFFFFFFFAu

/* Elements data[rangeMin..rangeMax] (inclusive) may be touched; the element
 * type is fixed per field (see each job record). */
typedef struct meshjobs_array_view {
    void* data;
    int32_t length;
    int32_t rangeMin;
    int32_t rangeMax;
    int32_t alignment;
    meshjobs_atomic_safety_handle safety;
    uint8_t host[16];
} meshjobs_array_view; /* 56 bytes */

typedef struct meshjobs_value_ref {
    int32_t* data;
    meshjobs_atomic_safety_handle safety;
    uint8_t host[16];
} meshjobs_value_ref; /* 40 bytes */

/* ---- Job records ------------------------------------------------------- */

typedef struct meshjobs_mark_used_vertices_record {
    meshjobs_array_view used;    /* int32_t */
    meshjobs_array_view indices; /* uint16_t */
    meshjobs_value_ref highestIndex;
} meshjobs_mark_used_vertices_record; /* 152 bytes */

typedef struct meshjobs_compact_vertices_record {
    meshjobs_array_view remap;               /* int32_t */
    meshjobs_array_view destinationVertices; /* uint32_t */
    meshjobs_array_view sourceVertices;      /* uint32_t */
    meshjobs_value_ref vertexCount;
    int32_t vertexStride; /* in 32-bit words */
    int32_t highestIndex; /* inclusive; below 0 means none */
} meshjobs_compact_vertices_record; /* 216 bytes */

typedef struct meshjobs_remap_indices_record {
    meshjobs_array_view indices; /* uint16_t */
    meshjobs_array_view remap;   /* int32_t */
} meshjobs_remap_indices_record; /* 112 bytes */

typedef struct meshjobs_count_vertex_references_record {
    meshjobs_array_view referenceCounts; /* int32_t */
    meshjobs_array_view indices;         /* uint16_t */
} meshjobs_count_vertex_references_record; /* 112 bytes */

/* Attribute slots: 0 position, 1 normal, 2 tangent, 3 color, 4-11 uv0-uv7. */
#define MESHJOBS_ATTRIBUTE_SLOT_COUNT 12
#define MESHJOBS_FORMAT_UNORM8 1
#define MESHJOBS_FORMAT_SNORM8 2
#define MESHJOBS_FORMAT_FLOAT16 3
#define MESHJOBS_FORMAT_FLOAT32 4
/* One slot's descriptor (uint32_t), each field below 256; dimension 0 means
 * absent, any nonzero stream selects stream 1. */
#define MESHJOBS_PACK_ATTRIBUTE(dimension, format, offset, stream) \
    ((uint32_t)(dimension) | (uint32_t)(format) << 8 | (uint32_t)(offset) << 16 | (uint32_t)(stream) << 24)

/* Bytes per component by format code; the library reads count and the
 * elements below it. */
#define MESHJOBS_COMPONENT_SIZES_CAPACITY 256
typedef struct meshjobs_component_sizes {
    uint16_t count;
    uint16_t alignment;
    int32_t elements[MESHJOBS_COMPONENT_SIZES_CAPACITY];
} meshjobs_component_sizes;

typedef struct meshjobs_convert_vertex_layout_record {
    meshjobs_array_view sourceStream0; /* uint8_t */
    meshjobs_array_view sourceStream1;
    meshjobs_array_view destinationStream0;
    meshjobs_array_view destinationStream1;
    float positionMatrix[4][4]; /* column-major: [column][row] */
    float normalMatrix[4][4];
    float texCoordScaleOffsetA[4]; /* xy scale, zw offset */
    float texCoordScaleOffsetB[4];
    int32_t destinationOffset0;
    int32_t sourceStride0;
    int32_t destinationOffset1;
    int32_t sourceStride1; /* negative: magnitude is the stride, and tangents flip handedness */
    meshjobs_array_view sourceAttributes; /* uint32_t descriptors */
    int32_t destinationStride0;
    int32_t destinationStride1;
    uint8_t host[8];
    meshjobs_array_view destinationAttributes; /* uint32_t descriptors */
    meshjobs_component_sizes componentSizes;
} meshjobs_convert_vertex_layout_record; /* componentSizes at 528 */

/* ---- Signatures -------------------------------------------------------- */

/* Host functions. abort raises the named exception and does not return; the
 * checks return only when the access is permitted. */
typedef void (*meshjobs_abort_fn)(const char* typeName, const char* message);
typedef void (*meshjobs_check_access_fn)(meshjobs_atomic_safety_handle* handleCopy);
typedef bool (*meshjobs_get_work_stealing_range_fn)(void* rangeSource, int32_t workerIndex, int32_t* begin,
                                                    int32_t* end);
typedef void (*meshjobs_patch_buffer_min_max_ranges_fn)(void* patchContext, void* record, int32_t begin,
                                                        int32_t count);
/* The host's resolver: a host function's address by name. */
typedef void* (*meshjobs_resolve_fn)(const char* name);

/* Exports. */
typedef void (*meshjobs_job_entry_fn)(void* record, void* unused, void* patchContext, void* rangeSource,
                                      int32_t workerIndex);
typedef void (*meshjobs_initializer_fn)(meshjobs_resolve_fn resolve);
typedef void (*meshjobs_statics_initializer_fn)(void);

#ifdef __cplusplus
}
#endif

#endif /* MESHJOBS_MESHJOBS_H */
