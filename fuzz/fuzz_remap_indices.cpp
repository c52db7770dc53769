// Remapping: index values, map entries, views, permissions, range splits.
#include "fuzz_support.h"

using namespace meshjobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Envelope envelope(in);
    RemapIndicesRecord record{};
    record.indices = envelope.View<uint16_t>(600);
    record.remap = envelope.View<int32_t>(300);
    envelope.FillIndices(record.indices, static_cast<uint32_t>(record.remap.length) + 1);
    host::JobSystem* jobs = nullptr;
    const host::ParallelForOptions options = envelope.Split(JobId::RemapIndices, &jobs);
    const int32_t length = envelope.Length(700);
    const std::vector<uint16_t> before(record.indices.data, record.indices.data + record.indices.length);
    try {
        jobs->Run(record, length, options);
    } catch (const host::JobException&) {
        return 0;
    }
    // A run that raised nothing rewrote every index through the map.
    for (int32_t i = 0; i < length; ++i)
        if (record.indices.data[i] != static_cast<uint16_t>(record.remap.data[before[i]])) __builtin_trap();
    return 0;
}
