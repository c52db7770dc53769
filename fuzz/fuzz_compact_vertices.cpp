// Compaction: remap entries, vertex views and stride, vertex count and
// highest index, nulls and permissions.
#include "fuzz_support.h"

using namespace meshjobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Envelope envelope(in);
    CompactVerticesRecord record{};
    record.remap = envelope.View<int32_t>(200);
    record.destinationVertices = envelope.View<uint32_t>(800);
    record.sourceVertices = envelope.View<uint32_t>(800);
    record.vertexCount = envelope.Value<int32_t>();
    if (in.ConsumeBool()) *record.vertexCount.data = 0;
    record.vertexStride = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(0, 8) : in.ConsumeIntegral<int32_t>();
    record.highestIndex = in.ConsumeBool() ? record.remap.length - 1 - in.ConsumeIntegralInRange<int32_t>(-2, 2)
                                           : in.ConsumeIntegral<int32_t>();
    // The job tests both vertex views for null before it copies.
    if (in.ConsumeIntegral<uint8_t>() < 16) record.sourceVertices.data = nullptr;
    if (in.ConsumeIntegral<uint8_t>() < 16) record.destinationVertices.data = nullptr;
    try {
        fuzz::FuzzJobs(1).Run(record);
    } catch (const host::JobException&) {
    }
    return 0;
}
