#include "toolkit/jobs.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace meshjobs::tool {

host::Library LoadLibrary(const std::string& path) {
    host::Library library = host::Library::Load(path);
    library.Initialize();
    return library;
}

Jobs::Jobs(const host::Library& library, int workers)
    : library_(library), workers_(std::max(1, workers)), single_(library, 1) {}

host::JobSystem& Jobs::SystemFor(int64_t items) {
    if (workers_ == 1 || items < SHARED_JOB_ITEMS) return single_;
    if (!shared_) shared_ = std::make_unique<host::JobSystem>(library_, workers_);
    return *shared_;
}

template <typename F>
void Jobs::Timed(JobId job, int64_t items, int workers, F&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    timings_.push_back({job, items, workers, elapsed.count()});
}

void Jobs::Run(MarkUsedVerticesRecord& record) {
    Timed(JobId::MarkUsedVertices, record.indices.length, 1, [&] { single_.Run(record); });
}

void Jobs::Run(CompactVerticesRecord& record, int64_t vertices) {
    Timed(JobId::CompactVertices, vertices, 1, [&] { single_.Run(record); });
}

void Jobs::Run(const CountVertexReferencesRecord& record, int32_t indexCount) {
    host::JobSystem& system = SystemFor(indexCount);
    Timed(JobId::CountVertexReferences, indexCount, system.workerCount(), [&] { system.Run(record, indexCount); });
}

void Jobs::Run(const RemapIndicesRecord& record, int32_t indexCount) {
    host::JobSystem& system = SystemFor(indexCount);
    Timed(JobId::RemapIndices, indexCount, system.workerCount(), [&] { system.Run(record, indexCount); });
}

void Jobs::Run(const ConvertVertexLayoutRecord& record, int32_t vertexCount) {
    host::JobSystem& system = SystemFor(vertexCount);
    Timed(JobId::ConvertVertexLayout, vertexCount, system.workerCount(), [&] { system.Run(record, vertexCount); });
}

UsedVertices MarkUsedVertices(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount) {
    host::MarkingBuffers marking(std::vector<int32_t>(vertexCount, 0), indices);
    auto record = marking.Record();
    jobs.Run(record);
    return {std::move(marking.used.elements), marking.highest.value};
}

std::vector<int32_t> CountVertexReferences(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount) {
    host::CountingBuffers counting(std::vector<int32_t>(vertexCount, 0), indices);
    // The job does not bound its counter writes; an index past the vertices
    // would land outside the buffer.
    for (uint16_t index : indices)
        if (index >= vertexCount)
            throw std::runtime_error("index " + std::to_string(index) + " names no vertex (" +
                                     std::to_string(vertexCount) + " vertices)");
    const auto record = counting.Record();
    jobs.Run(record, static_cast<int32_t>(indices.size()));
    return std::move(counting.counts.elements);
}

CompactedVertices CompactVertices(Jobs& jobs, std::vector<int32_t> used, const std::vector<uint32_t>& vertices,
                                  int32_t stride, int32_t highestIndex) {
    if (stride < 0 || (highestIndex >= 0 && vertices.size() < (static_cast<size_t>(highestIndex) + 1) * stride))
        throw std::invalid_argument("vertex buffer shorter than its highest index");
    const int64_t usedCount = std::count_if(used.begin(), used.end(), [](int32_t v) { return v > 0; });
    // Never empty, so its data pointer is not null even with nothing used.
    std::vector<uint32_t> destination(std::max<int64_t>(1, usedCount * stride), 0);
    host::CompactionBuffers compaction(std::move(used), std::move(destination), vertices, stride, highestIndex);
    if (compaction.source.elements.empty()) compaction.source.elements.push_back(0);
    auto record = compaction.Record();
    jobs.Run(record, highestIndex + 1);
    const int32_t count = compaction.vertexCount.value;
    if (count != usedCount)
        throw std::runtime_error("compaction packed " + std::to_string(count) + " vertices, expected " +
                                 std::to_string(usedCount));
    compaction.destination.elements.resize(static_cast<size_t>(usedCount) * stride);
    return {std::move(compaction.destination.elements), std::move(compaction.remap.elements), count};
}

void RemapIndices(Jobs& jobs, std::vector<uint16_t>& indices, const std::vector<int32_t>& remap) {
    host::RemappingBuffers remapping(std::move(indices), remap);
    const auto record = remapping.Record();
    jobs.Run(record, record.indices.length);
    indices = std::move(remapping.indices.elements);
}

namespace {

std::string IndexText(size_t position) { return "index " + std::to_string(position); }

void CheckStripped(const std::vector<uint16_t>& oldIndices, const std::vector<uint32_t>& oldVertices,
                   const std::vector<uint16_t>& newIndices, const std::vector<uint32_t>& newVertices,
                   int32_t stride, int32_t newCount) {
    std::vector<bool> referenced(newCount, false);
    for (size_t i = 0; i < newIndices.size(); ++i) {
        const size_t oldVertex = oldIndices[i], newVertex = newIndices[i];
        if (newVertex >= static_cast<size_t>(newCount))
            throw std::runtime_error(IndexText(i) + " names vertex " + std::to_string(newVertex) + " of " +
                                     std::to_string(newCount) + " after stripping");
        referenced[newVertex] = true;
        if (stride > 0 && std::memcmp(&oldVertices[oldVertex * stride], &newVertices[newVertex * stride],
                                      sizeof(uint32_t) * stride) != 0)
            throw std::runtime_error(IndexText(i) + " names different vertex data after stripping");
    }
    const auto unused = std::find(referenced.begin(), referenced.end(), false);
    if (unused != referenced.end())
        throw std::runtime_error("vertex " + std::to_string(unused - referenced.begin()) +
                                 " is still unused after stripping");
}

}  // namespace

StripResult StripVertices(Jobs& jobs, StripMethod method, std::vector<uint16_t>& indices,
                          std::vector<uint32_t>& vertices, int32_t stride) {
    if (stride <= 0 || vertices.size() % stride != 0) throw std::invalid_argument("bad vertex stride");
    const size_t vertexCount = vertices.size() / stride;
    if (vertexCount > static_cast<size_t>(MAX_STRIP_VERTICES))
        throw std::invalid_argument(std::to_string(vertexCount) + " vertices do not fit 16-bit indices");
    host::CheckViewLength(indices.size());
    const auto count = static_cast<int32_t>(vertexCount);

    std::vector<int32_t> used;
    int32_t highest = count - 1;
    std::vector<int32_t> counts;
    if (method != StripMethod::Mark) counts = CountVertexReferences(jobs, indices, count);
    if (method == StripMethod::Count) {
        used = std::move(counts);
    } else {
        UsedVertices marked = MarkUsedVertices(jobs, indices, count);
        used = std::move(marked.flags);
        highest = indices.empty() ? -1 : marked.highestIndex;
        if (method == StripMethod::Both) {
            for (int32_t v = 0; v < count; ++v)
                if ((counts[v] > 0) != (used[v] > 0))
                    throw std::runtime_error("marking and counting disagree about vertex " + std::to_string(v));
            const auto last = std::find_if(counts.rbegin(), counts.rend(), [](int32_t c) { return c > 0; });
            const auto counted = static_cast<int32_t>(counts.rend() - last) - 1;
            if (counted != highest)
                throw std::runtime_error("marking reported highest index " + std::to_string(highest) +
                                         ", counting found " + std::to_string(counted));
        }
    }

    StripResult result;
    result.verticesBefore = count;
    result.used.resize(count);
    for (int32_t v = 0; v < count; ++v) result.used[v] = used[v] > 0;

    CompactedVertices compacted = CompactVertices(jobs, std::move(used), vertices, stride, highest);
    result.verticesAfter = compacted.vertexCount;
    result.newIndex.assign(count, -1);
    for (int32_t v = 0; v < count; ++v)
        if (result.used[v]) result.newIndex[v] = compacted.remap[v];

    std::vector<uint16_t> oldIndices = indices;
    RemapIndices(jobs, indices, compacted.remap);
    CheckStripped(oldIndices, vertices, indices, compacted.vertices, stride, compacted.vertexCount);
    vertices = std::move(compacted.vertices);
    return result;
}

}  // namespace meshjobs::tool
