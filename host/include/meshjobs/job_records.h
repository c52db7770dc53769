// The jobs' records over host-side buffers. Each buffer owns its elements and
// the safety cell its views point at, so a record built from buffers stays
// valid for as long as the buffers do (and they may be moved meanwhile). The
// Make*Record functions build a record over buffers that jobs may share; each
// *Buffers set holds one job's buffers and builds its record. Every view is
// unrestricted: a caller that wants an odd record changes the fields after.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::host {

template <typename T>
class JobBuffer {
public:
    JobBuffer() : cell_(std::make_unique<SafetyCell>()) {}
    explicit JobBuffer(std::vector<T> elements)
        : elements(std::move(elements)), cell_(std::make_unique<SafetyCell>()) {}

    std::vector<T> elements;

    ArrayView<T> View();
    SafetyCell& cell() const { return *cell_; }

private:
    std::unique_ptr<SafetyCell> cell_;
};

template <typename T>
class JobValue {
public:
    explicit JobValue(T initial = T{}) : value(initial), cell_(std::make_unique<SafetyCell>()) {}

    T value;

    ValueRef<T> Ref() { return MakeValueRef(&value, *cell_); }
    SafetyCell& cell() const { return *cell_; }

private:
    std::unique_ptr<SafetyCell> cell_;
};

// Views carry int32 lengths; a buffer past that is a caller's bug, not data.
void CheckViewLength(size_t elements);

template <typename T>
ArrayView<T> JobBuffer<T>::View() {
    CheckViewLength(elements.size());
    return MakeView(elements.data(), static_cast<int32_t>(elements.size()), *cell_);
}

MarkUsedVerticesRecord MakeMarkUsedVerticesRecord(JobBuffer<int32_t>& used, JobBuffer<uint16_t>& indices,
                                                  JobValue<int32_t>& highestIndex);

CountVertexReferencesRecord MakeCountVertexReferencesRecord(JobBuffer<int32_t>& referenceCounts,
                                                            JobBuffer<uint16_t>& indices);

// vertexStride in 32-bit words; highestIndex inclusive, below 0 for none.
CompactVerticesRecord MakeCompactVerticesRecord(JobBuffer<int32_t>& remap, JobBuffer<uint32_t>& destination,
                                                JobBuffer<uint32_t>& source, JobValue<int32_t>& vertexCount,
                                                int32_t vertexStride, int32_t highestIndex);

RemapIndicesRecord MakeRemapIndicesRecord(JobBuffer<uint16_t>& indices, JobBuffer<int32_t>& remap);

// The values start at -1: a job that never writes one leaves it so.
struct MarkingBuffers {
    explicit MarkingBuffers(std::vector<int32_t> flags = {}, std::vector<uint16_t> indexValues = {})
        : used(std::move(flags)), indices(std::move(indexValues)) {}

    JobBuffer<int32_t> used;
    JobBuffer<uint16_t> indices;
    JobValue<int32_t> highest{-1};

    MarkUsedVerticesRecord Record() { return MakeMarkUsedVerticesRecord(used, indices, highest); }
};

struct CountingBuffers {
    explicit CountingBuffers(std::vector<int32_t> counters = {}, std::vector<uint16_t> indexValues = {})
        : counts(std::move(counters)), indices(std::move(indexValues)) {}

    JobBuffer<int32_t> counts;
    JobBuffer<uint16_t> indices;

    CountVertexReferencesRecord Record() { return MakeCountVertexReferencesRecord(counts, indices); }
};

struct RemappingBuffers {
    explicit RemappingBuffers(std::vector<uint16_t> indexValues = {}, std::vector<int32_t> map = {})
        : indices(std::move(indexValues)), remap(std::move(map)) {}

    JobBuffer<uint16_t> indices;
    JobBuffer<int32_t> remap;

    RemapIndicesRecord Record() { return MakeRemapIndicesRecord(indices, remap); }
};

struct CompactionBuffers {
    explicit CompactionBuffers(std::vector<int32_t> map = {}, std::vector<uint32_t> destinationWords = {},
                               std::vector<uint32_t> sourceWords = {}, int32_t stride = 0, int32_t highest = -1)
        : remap(std::move(map)),
          destination(std::move(destinationWords)),
          source(std::move(sourceWords)),
          vertexStride(stride),
          highestIndex(highest) {}

    JobBuffer<int32_t> remap;
    JobBuffer<uint32_t> destination;
    JobBuffer<uint32_t> source;
    JobValue<int32_t> vertexCount{-1};
    int32_t vertexStride;  // in 32-bit words
    int32_t highestIndex;  // inclusive; below 0 for none

    CompactVerticesRecord Record() {
        return MakeCompactVerticesRecord(remap, destination, source, vertexCount, vertexStride, highestIndex);
    }
};

// Bytes per component by format code 0..4; code 0 is never used by our
// layouts but the list must cover it.
inline constexpr std::array<int32_t, 5> COMPONENT_SIZES = {1, 1, 1, 2, 4};

Float4x4 IdentityMatrix();

// Everything a conversion record points at. Streams are byte buffers; the
// descriptor arrays hold one entry per attribute slot, all 0 at first. The
// matrices start as the identity, the texture coordinate transforms as none.
struct ConversionBuffers {
    ConversionBuffers();

    std::array<JobBuffer<uint8_t>, 2> sourceStreams;
    std::array<JobBuffer<uint8_t>, 2> destinationStreams;
    JobBuffer<uint32_t> sourceAttributes;
    JobBuffer<uint32_t> destinationAttributes;
    std::array<int32_t, 2> sourceStrides{};
    std::array<int32_t, 2> destinationStrides{};
    std::array<int32_t, 2> destinationOffsets{};
    Float4x4 positionMatrix;
    Float4x4 normalMatrix;
    Float4 texCoordScaleOffsetA{1, 1, 0, 0};
    Float4 texCoordScaleOffsetB{1, 1, 0, 0};
    std::vector<int32_t> componentSizes;

    // The record is large (mostly the size list), so it lives on the heap.
    std::unique_ptr<ConvertVertexLayoutRecord> Record();
};

}  // namespace meshjobs::host
