#include "meshjobs/job_records.h"

#include <limits>
#include <stdexcept>
#include <string>

namespace meshjobs::host {

void CheckViewLength(size_t elements) {
    if (elements > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        throw std::length_error("buffer of " + std::to_string(elements) + " elements is too long for a job view");
}

MarkUsedVerticesRecord MakeMarkUsedVerticesRecord(JobBuffer<int32_t>& used, JobBuffer<uint16_t>& indices,
                                                  JobValue<int32_t>& highestIndex) {
    MarkUsedVerticesRecord record{};
    record.used = used.View();
    record.indices = indices.View();
    record.highestIndex = highestIndex.Ref();
    return record;
}

CountVertexReferencesRecord MakeCountVertexReferencesRecord(JobBuffer<int32_t>& referenceCounts,
                                                            JobBuffer<uint16_t>& indices) {
    CountVertexReferencesRecord record{};
    record.referenceCounts = referenceCounts.View();
    record.indices = indices.View();
    return record;
}

CompactVerticesRecord MakeCompactVerticesRecord(JobBuffer<int32_t>& remap, JobBuffer<uint32_t>& destination,
                                                JobBuffer<uint32_t>& source, JobValue<int32_t>& vertexCount,
                                                int32_t vertexStride, int32_t highestIndex) {
    CompactVerticesRecord record{};
    record.remap = remap.View();
    record.destinationVertices = destination.View();
    record.sourceVertices = source.View();
    record.vertexCount = vertexCount.Ref();
    record.vertexStride = vertexStride;
    record.highestIndex = highestIndex;
    return record;
}

RemapIndicesRecord MakeRemapIndicesRecord(JobBuffer<uint16_t>& indices, JobBuffer<int32_t>& remap) {
    RemapIndicesRecord record{};
    record.indices = indices.View();
    record.remap = remap.View();
    return record;
}

Float4x4 IdentityMatrix() {
    Float4x4 m{};
    for (int i = 0; i < 4; ++i) m.columns[i][i] = 1.0f;
    return m;
}

ConversionBuffers::ConversionBuffers()
    : positionMatrix(IdentityMatrix()),
      normalMatrix(IdentityMatrix()),
      componentSizes(COMPONENT_SIZES.begin(), COMPONENT_SIZES.end()) {
    sourceAttributes.elements.assign(ATTRIBUTE_SLOT_COUNT, 0);
    destinationAttributes.elements.assign(ATTRIBUTE_SLOT_COUNT, 0);
}

std::unique_ptr<ConvertVertexLayoutRecord> ConversionBuffers::Record() {
    if (componentSizes.size() > static_cast<size_t>(COMPONENT_SIZES_CAPACITY))
        throw std::length_error("component size list longer than the record holds");
    auto record = std::make_unique<ConvertVertexLayoutRecord>();
    *record = ConvertVertexLayoutRecord{};
    record->sourceStream0 = sourceStreams[0].View();
    record->sourceStream1 = sourceStreams[1].View();
    record->destinationStream0 = destinationStreams[0].View();
    record->destinationStream1 = destinationStreams[1].View();
    record->positionMatrix = positionMatrix;
    record->normalMatrix = normalMatrix;
    record->texCoordScaleOffsetA = texCoordScaleOffsetA;
    record->texCoordScaleOffsetB = texCoordScaleOffsetB;
    record->sourceStride0 = sourceStrides[0];
    record->sourceStride1 = sourceStrides[1];
    record->destinationStride0 = destinationStrides[0];
    record->destinationStride1 = destinationStrides[1];
    record->destinationOffset0 = destinationOffsets[0];
    record->destinationOffset1 = destinationOffsets[1];
    record->sourceAttributes = sourceAttributes.View();
    record->destinationAttributes = destinationAttributes.View();
    record->componentSizes.count = static_cast<uint16_t>(componentSizes.size());
    for (size_t i = 0; i < componentSizes.size(); ++i) record->componentSizes.elements[i] = componentSizes[i];
    return record;
}

}  // namespace meshjobs::host
