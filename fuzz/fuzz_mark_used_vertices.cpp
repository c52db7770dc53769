// Marking: index values, the flag and index views, the highest-index value.
#include "fuzz_support.h"

using namespace meshjobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Envelope envelope(in);
    MarkUsedVerticesRecord record{};
    record.used = envelope.View<int32_t>(300);
    record.indices = envelope.View<uint16_t>(600);
    envelope.FillIndices(record.indices, static_cast<uint32_t>(record.used.length) + 1);
    record.highestIndex = envelope.Value<int32_t>();
    try {
        fuzz::FuzzJobs(1).Run(record);
    } catch (const host::JobException&) {
    }
    return 0;
}
