// Host-side buffers for the jobs' records. Each buffer owns its elements and
// the safety cell its views point at, so a record built from buffers stays
// valid for as long as the buffers do (and they may be moved meanwhile).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::tool {

template <typename T>
class JobBuffer {
public:
    JobBuffer() : cell_(std::make_unique<host::SafetyCell>()) {}
    explicit JobBuffer(std::vector<T> elements)
        : elements(std::move(elements)), cell_(std::make_unique<host::SafetyCell>()) {}

    std::vector<T> elements;

    ArrayView<T> View();
    host::SafetyCell& cell() const { return *cell_; }

private:
    std::unique_ptr<host::SafetyCell> cell_;
};

template <typename T>
class JobValue {
public:
    explicit JobValue(T initial = T{}) : value(initial), cell_(std::make_unique<host::SafetyCell>()) {}

    T value;

    ValueRef<T> Ref() { return host::MakeValueRef(&value, *cell_); }
    host::SafetyCell& cell() const { return *cell_; }

private:
    std::unique_ptr<host::SafetyCell> cell_;
};

// Views carry int32 lengths; a buffer past that is a caller's bug, not data.
void CheckViewLength(size_t elements);

template <typename T>
ArrayView<T> JobBuffer<T>::View() {
    CheckViewLength(elements.size());
    return host::MakeView(elements.data(), static_cast<int32_t>(elements.size()), *cell_);
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

// Bytes per component by format code 0..4; code 0 is never used by our
// layouts but the list must cover it.
inline constexpr std::array<int32_t, 5> COMPONENT_SIZES = {1, 1, 1, 2, 4};

Float4x4 IdentityMatrix();

// Everything a conversion record points at. Streams are byte buffers; the
// descriptor arrays hold one entry per attribute slot.
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

}  // namespace meshjobs::tool
