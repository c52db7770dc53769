// Counting: index values, counter and index views, permissions, range splits.
#include "fuzz_support.h"

using namespace meshjobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    fuzz::Envelope envelope(in);
    CountVertexReferencesRecord record{};
    record.referenceCounts = envelope.View<int32_t>(300);
    record.indices = envelope.View<uint16_t>(600);
    const auto counters = static_cast<uint32_t>(record.referenceCounts.length);
    envelope.FillIndices(record.indices, counters + 1);
    host::JobSystem* jobs = nullptr;
    const host::ParallelForOptions options = envelope.Split(JobId::CountVertexReferences, &jobs);
    const int32_t length = envelope.Length(700);
    // Counters start anywhere, so compare as the wrapping 32-bit adds they are.
    const std::vector<uint32_t> before(record.referenceCounts.data, record.referenceCounts.data + counters);
    try {
        jobs->Run(record, length, options);
    } catch (const host::JobException&) {
        return 0;
    }
    // A run that raised nothing counted every index exactly once.
    std::vector<uint32_t> expected = before;
    for (int32_t i = 0; i < length; ++i) ++expected.at(record.indices.data[i]);
    for (uint32_t k = 0; k < counters; ++k)
        if (expected[k] != static_cast<uint32_t>(record.referenceCounts.data[k])) __builtin_trap();
    return 0;
}
