// A job system over the loaded library that remembers how long each job took,
// plus the index-buffer jobs as plain functions over std::vector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "meshjobs/host.h"
#include "meshjobs/job_records.h"

namespace meshjobs::tool {

struct JobTiming {
    JobId job;
    int64_t items;
    int workers;
    double seconds;
};

// Loads and initialises the library; throws host::HostError naming the file.
host::Library LoadLibrary(const std::string& path);

// Parallel jobs of fewer items than SHARED_JOB_ITEMS run on the calling
// thread alone: waking the other workers for them costs more than they save.
// The other workers' threads start with the first job large enough to share.
class Jobs {
public:
    static constexpr int32_t SHARED_JOB_ITEMS = 32768;

    Jobs(const host::Library& library, int workers);

    int workers() const { return workers_; }

    void Run(MarkUsedVerticesRecord& record);
    void Run(CompactVerticesRecord& record, int64_t vertices);
    void Run(const CountVertexReferencesRecord& record, int32_t indexCount);
    void Run(const RemapIndicesRecord& record, int32_t indexCount);
    void Run(const ConvertVertexLayoutRecord& record, int32_t vertexCount);

    const std::vector<JobTiming>& timings() const { return timings_; }
    void ClearTimings() { timings_.clear(); }

private:
    template <typename F>
    void Timed(JobId job, int64_t items, int workers, F&& run);
    host::JobSystem& SystemFor(int64_t items);

    const host::Library& library_;
    int workers_;
    host::JobSystem single_;
    std::unique_ptr<host::JobSystem> shared_;  // made for the first job that shares
    std::vector<JobTiming> timings_;
};

struct UsedVertices {
    std::vector<int32_t> flags;  // 1 for a referenced vertex, else 0
    int32_t highestIndex = 0;
};
UsedVertices MarkUsedVertices(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount);

std::vector<int32_t> CountVertexReferences(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount);

struct CompactedVertices {
    std::vector<uint32_t> vertices;  // vertexCount * stride words
    std::vector<int32_t> remap;      // new index of each used vertex; others keep their input value
    int32_t vertexCount = 0;
};
// `used` is the marking or counting result: above 0 means used.
CompactedVertices CompactVertices(Jobs& jobs, std::vector<int32_t> used, const std::vector<uint32_t>& vertices,
                                  int32_t stride, int32_t highestIndex);

void RemapIndices(Jobs& jobs, std::vector<uint16_t>& indices, const std::vector<int32_t>& remap);

// Index buffers are 16-bit, so a strippable mesh has at most this many vertices.
inline constexpr int64_t MAX_STRIP_VERTICES = 65536;

enum class StripMethod { Mark, Count, Both };

struct StripResult {
    int32_t verticesBefore = 0;
    int32_t verticesAfter = 0;
    std::vector<bool> used;        // per old vertex
    std::vector<int32_t> newIndex;  // per old vertex; -1 where removed
};

// Removes the vertices no index names from an interleaved vertex buffer of
// `stride` words per vertex and rewrites the indices to match. Checks its own
// result (every vertex used, every index naming the same vertex words as
// before) and throws std::runtime_error if it does not hold. With Both, the
// marking and counting results must agree and marking drives compaction.
StripResult StripVertices(Jobs& jobs, StripMethod method, std::vector<uint16_t>& indices,
                          std::vector<uint32_t>& vertices, int32_t stride);

}  // namespace meshjobs::tool
