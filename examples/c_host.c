/* A minimal host in C: loads libmeshjobs by path, hands it the five host
 * functions and runs one parallel-for job, CountVertexReferencesJob, on one
 * worker. All it knows of the library comes from meshjobs.h.
 * Usage: c_host PATH-TO-LIBRARY */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "meshjobs/meshjobs.h"

#if defined(_WIN32)
#include <windows.h>
static void* open_library(const char* path) { return (void*)LoadLibraryA(path); }
static void* find_export(void* library, const char* name) {
    FARPROC address = GetProcAddress((HMODULE)library, name);
    void* result;
    memcpy(&result, &address, sizeof result);
    return result;
}
#else
#include <dlfcn.h>
static void* open_library(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* find_export(void* library, const char* name) { return dlsym(library, name); }
#endif

/* ---- The five host functions ---- */

/* A real host raises the named exception; the job must not continue. */
static void host_abort(const char* typeName, const char* message) {
    fprintf(stderr, "job aborted: %s: %s\n", typeName, message);
    exit(1);
}

/* Called only when a handle's fast test fails; returning permits the access. */
static void host_check_access(meshjobs_atomic_safety_handle* handleCopy) { (void)handleCopy; }

/* Hands out [next, next + batch) until the job's length is used up. */
struct range_source {
    int32_t next, length, batch;
};
static bool host_get_work_stealing_range(void* rangeSource, int32_t workerIndex, int32_t* begin, int32_t* end) {
    struct range_source* ranges = rangeSource;
    (void)workerIndex;
    if (ranges->next >= ranges->length) return false;
    *begin = ranges->next;
    ranges->next = ranges->length - ranges->next > ranges->batch ? ranges->next + ranges->batch : ranges->length;
    *end = ranges->next;
    return true;
}

/* Restricts the job's per-index view, the index buffer, to the range. */
static void host_patch_buffer_min_max_ranges(void* patchContext, void* record, int32_t begin, int32_t count) {
    meshjobs_count_vertex_references_record* job = record;
    (void)patchContext;
    job->indices.rangeMin = begin;
    job->indices.rangeMax = begin + count - 1;
}

static void* as_address(void (*function)(void)) {
    void* address;
    memcpy(&address, &function, sizeof address);
    return address;
}

static void* resolve(const char* name) {
    if (strcmp(name, MESHJOBS_HOST_ABORT) == 0) return as_address((void (*)(void))host_abort);
    if (strcmp(name, MESHJOBS_HOST_CHECK_WRITE) == 0) return as_address((void (*)(void))host_check_access);
    if (strcmp(name, MESHJOBS_HOST_CHECK_READ) == 0) return as_address((void (*)(void))host_check_access);
    if (strcmp(name, MESHJOBS_HOST_GET_WORK_STEALING_RANGE) == 0)
        return as_address((void (*)(void))host_get_work_stealing_range);
    if (strcmp(name, MESHJOBS_HOST_PATCH_BUFFER_MIN_MAX_RANGES) == 0)
        return as_address((void (*)(void))host_patch_buffer_min_max_ranges);
    return NULL;
}

/* An unrestricted view whose handle passes every check without a host call:
 * the handle's version equals the cell's value. */
static meshjobs_array_view view(void* data, int32_t length, int32_t* versionCell) {
    meshjobs_array_view result;
    memset(&result, 0, sizeof result);
    result.data = data;
    result.length = length;
    result.rangeMin = 0;
    result.rangeMax = length - 1;
    result.safety.versionCell = versionCell;
    result.safety.version = *versionCell;
    return result;
}

int main(int argc, char** argv) {
    void* library;
    void* address;
    meshjobs_initializer_fn initialize;
    meshjobs_job_entry_fn count_references;
    uint16_t indices[] = {0, 1, 2, 2, 1, 3}; /* two triangles; vertex 4 unused */
    int32_t counts[5] = {0, 0, 0, 0, 0};
    int32_t versionCell = 8;
    struct range_source ranges = {0, 6, 4};
    meshjobs_count_vertex_references_record record;
    int i;

    if (argc != 2) {
        fprintf(stderr, "usage: %s PATH-TO-LIBRARY\n", argv[0]);
        return 2;
    }
    library = open_library(argv[1]);
    if (!library) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    address = find_export(library, MESHJOBS_LIBRARY_INITIALIZER);
    memcpy(&initialize, &address, sizeof initialize);
    address = find_export(library, MESHJOBS_HASH_COUNT_VERTEX_REFERENCES);
    memcpy(&count_references, &address, sizeof count_references);
    if (!initialize || !count_references) {
        fprintf(stderr, "%s lacks the meshjobs exports\n", argv[1]);
        return 1;
    }

    initialize(resolve); /* binds the host functions for every job */

    memset(&record, 0, sizeof record);
    record.referenceCounts = view(counts, 5, &versionCell);
    record.indices = view(indices, 6, &versionCell);
    count_references(&record, NULL, NULL, &ranges, 0);

    printf("reference counts:");
    for (i = 0; i < 5; ++i) printf(" %d", (int)counts[i]);
    printf("\n");
    return 0;
}
