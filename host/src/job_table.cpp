#include <string>

#include "internal.h"

namespace meshjobs::host {

namespace detail {

void RequireKnownJob(JobId job) {
    const int index = static_cast<int>(job);
    if (index < 0 || index >= JOB_COUNT) throw HostError("unknown job id " + std::to_string(index));
}

const char* JobName(JobId job) {
    RequireKnownJob(job);
    return JOB_NAMES[static_cast<int>(job)];
}

}  // namespace detail

size_t RecordSize(JobId job) {
    switch (job) {
        case JobId::CompactVertices: return sizeof(CompactVerticesRecord);
        case JobId::MarkUsedVertices: return sizeof(MarkUsedVerticesRecord);
        case JobId::ConvertVertexLayout: return sizeof(ConvertVertexLayoutRecord);
        case JobId::CountVertexReferences: return sizeof(CountVertexReferencesRecord);
        case JobId::RemapIndices: return sizeof(RemapIndicesRecord);
    }
    detail::RequireKnownJob(job);
    return 0;
}

bool IsParallelFor(JobId job) {
    switch (job) {
        case JobId::CompactVertices:
        case JobId::MarkUsedVertices: return false;
        case JobId::ConvertVertexLayout:
        case JobId::CountVertexReferences:
        case JobId::RemapIndices: return true;
    }
    detail::RequireKnownJob(job);
    return false;
}

ParallelForDescription DefaultDescription(JobId job) {
    switch (job) {
        case JobId::RemapIndices: return {{offsetof(RemapIndicesRecord, indices)}};
        case JobId::CountVertexReferences: return {{offsetof(CountVertexReferencesRecord, indices)}};
        // Its views are byte streams addressed through strides: index i is
        // not element i of any of them, so none can be restricted to a range.
        case JobId::ConvertVertexLayout: return {};
        case JobId::CompactVertices:
        case JobId::MarkUsedVertices: throw HostError(std::string(detail::JobName(job)) + " is not a parallel-for job");
    }
    detail::RequireKnownJob(job);
    return {};
}

}  // namespace meshjobs::host
