// Host-laid records: the byte layout is the interface between the engine's
// job system and the library, so every offset and size is pinned here and
// shared by both sides. Freestanding: only <stddef.h> and <stdint.h>. The C
// header states the same layouts for C hosts; the checks at the end keep the
// two identical.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "meshjobs/meshjobs.h"

namespace meshjobs {

struct AtomicSafetyHandle {
    int32_t* versionCell;  // host-owned; its value encodes the current permissions
    int32_t version;
    int32_t safetyId;
};
static_assert(sizeof(AtomicSafetyHandle) == 16);
static_assert(offsetof(AtomicSafetyHandle, versionCell) == 0);
static_assert(offsetof(AtomicSafetyHandle, version) == 8);
static_assert(offsetof(AtomicSafetyHandle, safetyId) == 12);

// A permission test passes without a host call when the cell, with these
// masks applied, equals the handle's version.
inline constexpr uint32_t READ_MASK = MESHJOBS_READ_MASK;    // bits 1 and 2 clear
inline constexpr uint32_t WRITE_MASK = MESHJOBS_WRITE_MASK;  // bits 0 and 2 clear

template <typename T>
struct ArrayView {
    T* data;
    int32_t length;
    int32_t rangeMin;  // lowest index this job may touch
    int32_t rangeMax;  // highest index this job may touch, inclusive
    int32_t alignment;
    AtomicSafetyHandle safety;
    uint8_t host[16];
};

template <typename T>
struct ValueRef {
    T* data;
    AtomicSafetyHandle safety;
    uint8_t host[16];
};

template <int Capacity>
struct SmallIntList {
    uint16_t count;
    uint16_t alignment;
    int32_t elements[Capacity];
};

namespace layout_checks {
template <typename T>
constexpr bool ArrayViewLayoutHolds() {
    static_assert(sizeof(ArrayView<T>) == 56);
    static_assert(offsetof(ArrayView<T>, data) == 0);
    static_assert(offsetof(ArrayView<T>, length) == 8);
    static_assert(offsetof(ArrayView<T>, rangeMin) == 12);
    static_assert(offsetof(ArrayView<T>, rangeMax) == 16);
    static_assert(offsetof(ArrayView<T>, safety) == 24);
    static_assert(offsetof(ArrayView<T>, safety) + offsetof(AtomicSafetyHandle, version) == 32);
    static_assert(offsetof(ArrayView<T>, host) == 40);
    return true;
}
static_assert(ArrayViewLayoutHolds<int32_t>());
static_assert(ArrayViewLayoutHolds<uint16_t>());
static_assert(ArrayViewLayoutHolds<uint32_t>());
static_assert(ArrayViewLayoutHolds<uint8_t>());

static_assert(sizeof(ValueRef<int32_t>) == 40);
static_assert(offsetof(ValueRef<int32_t>, data) == 0);
static_assert(offsetof(ValueRef<int32_t>, safety) == 8);
static_assert(offsetof(ValueRef<int32_t>, host) == 24);

static_assert(offsetof(SmallIntList<4>, count) == 0);
static_assert(offsetof(SmallIntList<4>, elements) == 4);
static_assert(sizeof(SmallIntList<4>) == 20);
}  // namespace layout_checks

struct MarkUsedVerticesRecord {
    ArrayView<int32_t> used;
    ArrayView<uint16_t> indices;
    ValueRef<int32_t> highestIndex;
};
static_assert(sizeof(MarkUsedVerticesRecord) == 152);
static_assert(offsetof(MarkUsedVerticesRecord, used) == 0);
static_assert(offsetof(MarkUsedVerticesRecord, indices) == 56);
static_assert(offsetof(MarkUsedVerticesRecord, highestIndex) == 112);

struct CompactVerticesRecord {
    ArrayView<int32_t> remap;
    ArrayView<uint32_t> destinationVertices;
    ArrayView<uint32_t> sourceVertices;
    ValueRef<int32_t> vertexCount;
    int32_t vertexStride;  // in 32-bit words
    int32_t highestIndex;  // inclusive; below 0 means none
};
static_assert(sizeof(CompactVerticesRecord) == 216);
static_assert(offsetof(CompactVerticesRecord, remap) == 0);
static_assert(offsetof(CompactVerticesRecord, destinationVertices) == 56);
static_assert(offsetof(CompactVerticesRecord, sourceVertices) == 112);
static_assert(offsetof(CompactVerticesRecord, vertexCount) == 168);
static_assert(offsetof(CompactVerticesRecord, vertexStride) == 208);
static_assert(offsetof(CompactVerticesRecord, highestIndex) == 212);

struct RemapIndicesRecord {
    ArrayView<uint16_t> indices;
    ArrayView<int32_t> remap;
};
static_assert(sizeof(RemapIndicesRecord) == 112);
static_assert(offsetof(RemapIndicesRecord, indices) == 0);
static_assert(offsetof(RemapIndicesRecord, remap) == 56);

struct CountVertexReferencesRecord {
    ArrayView<int32_t> referenceCounts;
    ArrayView<uint16_t> indices;
};
static_assert(sizeof(CountVertexReferencesRecord) == 112);
static_assert(offsetof(CountVertexReferencesRecord, referenceCounts) == 0);
static_assert(offsetof(CountVertexReferencesRecord, indices) == 56);

// Column-major: column c, row r at 16c + 4r bytes.
struct Float4x4 {
    float columns[4][4];
};
static_assert(sizeof(Float4x4) == 64);

struct Float4 {
    float x, y, z, w;
};
static_assert(sizeof(Float4) == 16);

inline constexpr int ATTRIBUTE_SLOT_COUNT = MESHJOBS_ATTRIBUTE_SLOT_COUNT;

// One slot of a vertex layout, each field below 256 (any nonzero stream
// byte selects stream 1).
constexpr uint32_t PackAttribute(uint32_t dimension, uint32_t format, uint32_t offset = 0, uint32_t stream = 0) {
    return dimension | format << 8 | offset << 16 | stream << 24;
}
// The library reads only count and the elements below it; the host fixes the
// capacity. 256 entries cover every format code a descriptor byte can hold.
inline constexpr int COMPONENT_SIZES_CAPACITY = MESHJOBS_COMPONENT_SIZES_CAPACITY;

struct ConvertVertexLayoutRecord {
    ArrayView<uint8_t> sourceStream0;
    ArrayView<uint8_t> sourceStream1;
    ArrayView<uint8_t> destinationStream0;
    ArrayView<uint8_t> destinationStream1;
    Float4x4 positionMatrix;
    Float4x4 normalMatrix;
    Float4 texCoordScaleOffsetA;  // xy scale, zw offset
    Float4 texCoordScaleOffsetB;
    int32_t destinationOffset0;
    int32_t sourceStride0;
    int32_t destinationOffset1;
    int32_t sourceStride1;  // negative: magnitude is the stride, and tangents flip handedness
    ArrayView<uint32_t> sourceAttributes;
    int32_t destinationStride0;
    int32_t destinationStride1;
    uint8_t host[8];
    ArrayView<uint32_t> destinationAttributes;
    SmallIntList<COMPONENT_SIZES_CAPACITY> componentSizes;
};
static_assert(offsetof(ConvertVertexLayoutRecord, sourceStream0) == 0);
static_assert(offsetof(ConvertVertexLayoutRecord, sourceStream1) == 56);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationStream0) == 112);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationStream1) == 168);
static_assert(offsetof(ConvertVertexLayoutRecord, positionMatrix) == 224);
static_assert(offsetof(ConvertVertexLayoutRecord, normalMatrix) == 288);
static_assert(offsetof(ConvertVertexLayoutRecord, texCoordScaleOffsetA) == 352);
static_assert(offsetof(ConvertVertexLayoutRecord, texCoordScaleOffsetB) == 368);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationOffset0) == 384);
static_assert(offsetof(ConvertVertexLayoutRecord, sourceStride0) == 388);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationOffset1) == 392);
static_assert(offsetof(ConvertVertexLayoutRecord, sourceStride1) == 396);
static_assert(offsetof(ConvertVertexLayoutRecord, sourceAttributes) == 400);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationStride0) == 456);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationStride1) == 460);
static_assert(offsetof(ConvertVertexLayoutRecord, host) == 464);
static_assert(offsetof(ConvertVertexLayoutRecord, destinationAttributes) == 472);
static_assert(offsetof(ConvertVertexLayoutRecord, componentSizes) == 528);
static_assert(offsetof(ConvertVertexLayoutRecord, componentSizes) + offsetof(SmallIntList<4>, elements) == 532);
// The record is padded to pointer alignment after the list.
static_assert(sizeof(ConvertVertexLayoutRecord) == (532 + 4 * COMPONENT_SIZES_CAPACITY + 7) / 8 * 8);

// Signatures of the five host functions and of the library's exports.
using AbortFunction = void (*)(const char* typeName, const char* message);
using CheckAccessFunction = void (*)(AtomicSafetyHandle* handleCopy);
using GetWorkStealingRangeFunction = bool (*)(void* rangeSource, int32_t workerIndex, int32_t* begin, int32_t* end);
using PatchBufferMinMaxRangesFunction = void (*)(void* patchContext, void* record, int32_t begin, int32_t count);
using ResolveFunction = void* (*)(const char* name);

using JobEntryFunction = void (*)(void* record, void* unused, void* patchContext, void* rangeSource, int32_t workerIndex);
using InitializerFunction = void (*)(ResolveFunction resolve);
using StaticsInitializerFunction = void (*)();

// The C header's records, field by field.
namespace c_layout_checks {
#define MESHJOBS_SAME_FIELD(CppType, CType, field) \
    static_assert(offsetof(CppType, field) == offsetof(CType, field) && sizeof(CppType::field) == sizeof(CType::field))
#define MESHJOBS_SAME_SIZE(CppType, CType) static_assert(sizeof(CppType) == sizeof(CType) && alignof(CppType) == alignof(CType))

MESHJOBS_SAME_SIZE(AtomicSafetyHandle, meshjobs_atomic_safety_handle);
MESHJOBS_SAME_FIELD(AtomicSafetyHandle, meshjobs_atomic_safety_handle, versionCell);
MESHJOBS_SAME_FIELD(AtomicSafetyHandle, meshjobs_atomic_safety_handle, version);
MESHJOBS_SAME_FIELD(AtomicSafetyHandle, meshjobs_atomic_safety_handle, safetyId);

using View = ArrayView<uint8_t>;
MESHJOBS_SAME_SIZE(View, meshjobs_array_view);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, data);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, length);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, rangeMin);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, rangeMax);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, safety);
MESHJOBS_SAME_FIELD(View, meshjobs_array_view, host);

using Ref = ValueRef<int32_t>;
MESHJOBS_SAME_SIZE(Ref, meshjobs_value_ref);
MESHJOBS_SAME_FIELD(Ref, meshjobs_value_ref, data);
MESHJOBS_SAME_FIELD(Ref, meshjobs_value_ref, safety);
MESHJOBS_SAME_FIELD(Ref, meshjobs_value_ref, host);

MESHJOBS_SAME_SIZE(MarkUsedVerticesRecord, meshjobs_mark_used_vertices_record);
MESHJOBS_SAME_FIELD(MarkUsedVerticesRecord, meshjobs_mark_used_vertices_record, used);
MESHJOBS_SAME_FIELD(MarkUsedVerticesRecord, meshjobs_mark_used_vertices_record, indices);
MESHJOBS_SAME_FIELD(MarkUsedVerticesRecord, meshjobs_mark_used_vertices_record, highestIndex);

MESHJOBS_SAME_SIZE(CompactVerticesRecord, meshjobs_compact_vertices_record);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, remap);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, destinationVertices);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, sourceVertices);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, vertexCount);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, vertexStride);
MESHJOBS_SAME_FIELD(CompactVerticesRecord, meshjobs_compact_vertices_record, highestIndex);

MESHJOBS_SAME_SIZE(RemapIndicesRecord, meshjobs_remap_indices_record);
MESHJOBS_SAME_FIELD(RemapIndicesRecord, meshjobs_remap_indices_record, indices);
MESHJOBS_SAME_FIELD(RemapIndicesRecord, meshjobs_remap_indices_record, remap);

MESHJOBS_SAME_SIZE(CountVertexReferencesRecord, meshjobs_count_vertex_references_record);
MESHJOBS_SAME_FIELD(CountVertexReferencesRecord, meshjobs_count_vertex_references_record, referenceCounts);
MESHJOBS_SAME_FIELD(CountVertexReferencesRecord, meshjobs_count_vertex_references_record, indices);

using Convert = ConvertVertexLayoutRecord;
using CConvert = meshjobs_convert_vertex_layout_record;
MESHJOBS_SAME_SIZE(Convert, CConvert);
MESHJOBS_SAME_FIELD(Convert, CConvert, sourceStream0);
MESHJOBS_SAME_FIELD(Convert, CConvert, sourceStream1);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationStream0);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationStream1);
MESHJOBS_SAME_FIELD(Convert, CConvert, positionMatrix);
MESHJOBS_SAME_FIELD(Convert, CConvert, normalMatrix);
MESHJOBS_SAME_FIELD(Convert, CConvert, texCoordScaleOffsetA);
MESHJOBS_SAME_FIELD(Convert, CConvert, texCoordScaleOffsetB);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationOffset0);
MESHJOBS_SAME_FIELD(Convert, CConvert, sourceStride0);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationOffset1);
MESHJOBS_SAME_FIELD(Convert, CConvert, sourceStride1);
MESHJOBS_SAME_FIELD(Convert, CConvert, sourceAttributes);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationStride0);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationStride1);
MESHJOBS_SAME_FIELD(Convert, CConvert, host);
MESHJOBS_SAME_FIELD(Convert, CConvert, destinationAttributes);
MESHJOBS_SAME_FIELD(Convert, CConvert, componentSizes);
static_assert(offsetof(SmallIntList<COMPONENT_SIZES_CAPACITY>, elements) ==
              offsetof(meshjobs_component_sizes, elements));

static_assert(PackAttribute(3, 4, 12, 1) == MESHJOBS_PACK_ATTRIBUTE(3, 4, 12, 1));

// The function types: one C++ signature, one C typedef.
static_assert(__is_same(AbortFunction, meshjobs_abort_fn));
static_assert(__is_same(GetWorkStealingRangeFunction, meshjobs_get_work_stealing_range_fn));
static_assert(__is_same(PatchBufferMinMaxRangesFunction, meshjobs_patch_buffer_min_max_ranges_fn));
static_assert(__is_same(ResolveFunction, meshjobs_resolve_fn));
static_assert(__is_same(JobEntryFunction, meshjobs_job_entry_fn));
static_assert(__is_same(InitializerFunction, meshjobs_initializer_fn));
static_assert(__is_same(StaticsInitializerFunction, meshjobs_statics_initializer_fn));
#undef MESHJOBS_SAME_FIELD
#undef MESHJOBS_SAME_SIZE
}  // namespace c_layout_checks

}  // namespace meshjobs
