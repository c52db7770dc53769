// The 21 exports. The host finds them by exact name, and some names (dotted,
// or starting with a digit) cannot be spelled as C++ identifiers, so each is
// an assembler alias of a hidden function with a plain name.
#include "binding/external_table.h"
#include "jobs.h"
#include "meshjobs/names.h"

#define MESHJOBS_HIDDEN extern "C" __attribute__((visibility("hidden"), used))

#if defined(_WIN32)
#define MESHJOBS_EXPORT_AS(exportName, function)                                                  \
    asm(".globl \"" exportName "\"\n.set \"" exportName "\", " #function "\n"                    \
        ".section .drectve\n.ascii \" -export:\\\"" exportName "\\\"\"\n.text\n")
#else
#define MESHJOBS_EXPORT_AS(exportName, function)                                                  \
    asm(".globl \"" exportName "\"\n.type \"" exportName "\", @function\n.set \"" exportName     \
        "\", " #function "\n")
#endif

namespace {
using namespace meshjobs;
}

MESHJOBS_HIDDEN void meshjobs_initialize_externals(ResolveFunction resolve) { InitializeExternals(resolve); }

// No job has static data to prepare.
MESHJOBS_HIDDEN void meshjobs_initialize_statics() {}

MESHJOBS_HIDDEN void meshjobs_initialize_library(ResolveFunction resolve) {
    for (int job = 0; job < JOB_COUNT; ++job) meshjobs_initialize_externals(resolve);
    for (int job = 0; job < JOB_COUNT; ++job) meshjobs_initialize_statics();
}

// Every entry point takes the same five arguments; the second is never read.
MESHJOBS_HIDDEN void meshjobs_entry_compact_vertices(void* record, void*, void*, void*, int32_t) {
    CompactVertices(record);
}
MESHJOBS_HIDDEN void meshjobs_entry_mark_used_vertices(void* record, void*, void*, void*, int32_t) {
    MarkUsedVertices(record);
}
MESHJOBS_HIDDEN void meshjobs_entry_convert_vertex_layout(void* record, void*, void* patchContext, void* rangeSource,
                                                         int32_t workerIndex) {
    ConvertVertexLayout(record, patchContext, rangeSource, workerIndex);
}
MESHJOBS_HIDDEN void meshjobs_entry_count_vertex_references(void* record, void*, void* patchContext,
                                                           void* rangeSource, int32_t workerIndex) {
    CountVertexReferences(record, patchContext, rangeSource, workerIndex);
}
MESHJOBS_HIDDEN void meshjobs_entry_remap_indices(void* record, void*, void* patchContext, void* rangeSource,
                                                 int32_t workerIndex) {
    RemapIndices(record, patchContext, rangeSource, workerIndex);
}

MESHJOBS_EXPORT_AS("burst.initialize", meshjobs_initialize_library);

#define MESHJOBS_EXPORT_JOB(hash, entry)                                                           \
    MESHJOBS_EXPORT_AS(hash, entry);                                                               \
    MESHJOBS_EXPORT_AS(MESHJOBS_JOB_INITIALIZER_PREFIX hash, meshjobs_initialize_externals);       \
    MESHJOBS_EXPORT_AS(MESHJOBS_EXTERNALS_INITIALIZER_PREFIX hash, meshjobs_initialize_externals); \
    MESHJOBS_EXPORT_AS(MESHJOBS_STATICS_INITIALIZER_PREFIX hash, meshjobs_initialize_statics)

MESHJOBS_EXPORT_JOB(MESHJOBS_HASH_COMPACT_VERTICES, meshjobs_entry_compact_vertices);
MESHJOBS_EXPORT_JOB(MESHJOBS_HASH_MARK_USED_VERTICES, meshjobs_entry_mark_used_vertices);
MESHJOBS_EXPORT_JOB(MESHJOBS_HASH_CONVERT_VERTEX_LAYOUT, meshjobs_entry_convert_vertex_layout);
MESHJOBS_EXPORT_JOB(MESHJOBS_HASH_COUNT_VERTEX_REFERENCES, meshjobs_entry_count_vertex_references);
MESHJOBS_EXPORT_JOB(MESHJOBS_HASH_REMAP_INDICES, meshjobs_entry_remap_indices);
