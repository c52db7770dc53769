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

Jobs::Jobs(const host::Library& library, int workers) : system_(library, std::max(1, workers)) {}

template <typename F>
void Jobs::Timed(JobId job, int64_t items, int workers, F&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    timings_.push_back({job, items, workers, elapsed.count()});
}

void Jobs::Run(MarkUsedVerticesRecord& record) {
    Timed(JobId::MarkUsedVertices, record.indices.length, 1, [&] { system_.Run(record); });
}

void Jobs::Run(CompactVerticesRecord& record, int64_t vertices) {
    Timed(JobId::CompactVertices, vertices, 1, [&] { system_.Run(record); });
}

void Jobs::Run(const CountVertexReferencesRecord& record, int32_t indexCount) {
    Timed(JobId::CountVertexReferences, indexCount, workers(), [&] { system_.Run(record, indexCount); });
}

void Jobs::Run(const RemapIndicesRecord& record, int32_t indexCount) {
    Timed(JobId::RemapIndices, indexCount, workers(), [&] { system_.Run(record, indexCount); });
}

void Jobs::Run(const ConvertVertexLayoutRecord& record, int32_t vertexCount) {
    Timed(JobId::ConvertVertexLayout, vertexCount, workers(), [&] { system_.Run(record, vertexCount); });
}

UsedVertices MarkUsedVertices(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount) {
    JobBuffer<int32_t> used(std::vector<int32_t>(vertexCount, 0));
    JobBuffer<uint16_t> indexBuffer(indices);
    JobValue<int32_t> highest(-1);
    auto record = MakeMarkUsedVerticesRecord(used, indexBuffer, highest);
    jobs.Run(record);
    return {std::move(used.elements), highest.value};
}

std::vector<int32_t> CountVertexReferences(Jobs& jobs, const std::vector<uint16_t>& indices, int32_t vertexCount) {
    JobBuffer<int32_t> counts(std::vector<int32_t>(vertexCount, 0));
    JobBuffer<uint16_t> indexBuffer(indices);
    // The job does not bound its counter writes; an index past the vertices
    // would land outside the buffer.
    for (uint16_t index : indices)
        if (index >= vertexCount)
            throw std::runtime_error("index " + std::to_string(index) + " names no vertex (" +
                                     std::to_string(vertexCount) + " vertices)");
    auto record = MakeCountVertexReferencesRecord(counts, indexBuffer);
    CheckViewLength(indices.size());
    jobs.Run(record, static_cast<int32_t>(indices.size()));
    return std::move(counts.elements);
}

CompactedVertices CompactVertices(Jobs& jobs, std::vector<int32_t> used, const std::vector<uint32_t>& vertices,
                                  int32_t stride, int32_t highestIndex) {
    if (stride < 0 || (highestIndex >= 0 && vertices.size() < (static_cast<size_t>(highestIndex) + 1) * stride))
        throw std::invalid_argument("vertex buffer shorter than its highest index");
    const int64_t usedCount = std::count_if(used.begin(), used.end(), [](int32_t v) { return v > 0; });
    JobBuffer<int32_t> remap(std::move(used));
    // Never empty, so its data pointer is not null even with nothing used.
    JobBuffer<uint32_t> destination(std::vector<uint32_t>(std::max<int64_t>(1, usedCount * stride), 0));
    JobBuffer<uint32_t> source;
    source.elements = vertices;
    if (source.elements.empty()) source.elements.push_back(0);
    JobValue<int32_t> count(-1);
    auto record = MakeCompactVerticesRecord(remap, destination, source, count, stride, highestIndex);
    jobs.Run(record, highestIndex + 1);
    if (count.value != usedCount)
        throw std::runtime_error("compaction packed " + std::to_string(count.value) + " vertices, expected " +
                                 std::to_string(usedCount));
    destination.elements.resize(static_cast<size_t>(usedCount) * stride);
    return {std::move(destination.elements), std::move(remap.elements), count.value};
}

void RemapIndices(Jobs& jobs, std::vector<uint16_t>& indices, const std::vector<int32_t>& remap) {
    JobBuffer<uint16_t> indexBuffer(std::move(indices));
    JobBuffer<int32_t> remapBuffer(remap);
    auto record = MakeRemapIndicesRecord(indexBuffer, remapBuffer);
    jobs.Run(record, static_cast<int32_t>(indexBuffer.elements.size()));
    indices = std::move(indexBuffer.elements);
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
    CheckViewLength(indices.size());
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
