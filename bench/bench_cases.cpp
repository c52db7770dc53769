// Every case runs the real library through the host emulator; baselines run in
// the same process on the same buffers, so the summary's ratios compare like
// with like on whatever machine runs them.
#include "bench_cases.h"

#include <benchmark/benchmark.h>
#include <meshoptimizer.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "meshjobs/host.h"
#include "meshjobs/job_records.h"

namespace meshjobs::bench {
namespace {

using host::JobSystem;
using host::Library;

Library& TheLibrary() {
    static Library library = [] {
        Library loaded = Library::Load(Library::DefaultPath());
        loaded.Initialize();
        return loaded;
    }();
    return library;
}

JobSystem& Workers(int count) {
    static std::unique_ptr<JobSystem> systems[3];
    if (!systems[count]) systems[count] = std::make_unique<JobSystem>(TheLibrary(), count);
    return *systems[count];
}

// The same copy for every memcpy baseline, kept out of line so the compiler
// cannot drop or merge it. Callers offset the destination by 64 bytes: with
// source and destination at the same offset within a page, glibc's copy runs
// over ten times slower on this machine for in-cache sizes, which would make
// the baseline meaningless.
__attribute__((noinline)) void CopyBuffer(void* to, const void* from, size_t size) {
    std::memcpy(to, from, size);
    benchmark::ClobberMemory();
}

// ---------------------------------------------------------------- layouts

constexpr uint32_t Attr(uint32_t dimension, uint32_t format, uint32_t offset, uint32_t stream = 0) {
    return PackAttribute(dimension, format, offset, stream);
}
constexpr uint32_t UNORM8 = 1, SNORM8 = 2, FLOAT16 = 3, FLOAT32 = 4;

struct Layout {
    uint32_t slots[ATTRIBUTE_SLOT_COUNT];
    int32_t stride;
    int32_t stride1 = 0;  // 0: every slot in stream 0, one buffer for both

    int32_t VertexBytes() const { return stride + stride1; }
};

// position f32x3, normal f32x3, tangent f32x4, color unorm8x4, uv0 f32x2, uv1 f32x2
constexpr Layout FULL{{Attr(3, FLOAT32, 0), Attr(3, FLOAT32, 12), Attr(4, FLOAT32, 24), Attr(4, UNORM8, 40),
                       Attr(2, FLOAT32, 44), Attr(2, FLOAT32, 52)},
                      60};
// position f32x3, normal snorm8x4, tangent snorm8x4, color unorm8x4, uv0 f16x2, uv1 f16x2
constexpr Layout COMPACT{{Attr(3, FLOAT32, 0), Attr(4, SNORM8, 12), Attr(4, SNORM8, 16), Attr(4, UNORM8, 20),
                          Attr(2, FLOAT16, 24), Attr(2, FLOAT16, 28)},
                         32};
// Every attribute in singles, color included.
constexpr Layout FLOATS{{Attr(3, FLOAT32, 0), Attr(3, FLOAT32, 12), Attr(4, FLOAT32, 24), Attr(4, FLOAT32, 40),
                         Attr(2, FLOAT32, 56), Attr(2, FLOAT32, 64)},
                        72};
// The layouts the meshjobs tool converts between: position and directions in
// stream 0, color and texture coordinates in stream 1; singles on the way in,
// its compact layout on the way out.
constexpr Layout TWO_STREAMS_FULL{{Attr(3, FLOAT32, 0), Attr(3, FLOAT32, 12), Attr(4, FLOAT32, 24),
                                   Attr(4, FLOAT32, 0, 1), Attr(2, FLOAT32, 16, 1), Attr(2, FLOAT32, 24, 1)},
                                  40,
                                  32};
constexpr Layout TWO_STREAMS_COMPACT{{Attr(3, FLOAT32, 0), Attr(4, SNORM8, 12), Attr(4, SNORM8, 16),
                                      Attr(4, UNORM8, 0, 1), Attr(2, FLOAT16, 4, 1), Attr(2, FLOAT16, 8, 1)},
                                     20,
                                     12};

struct ConversionCase {
    const char* name;
    const Layout* source;
    const Layout* destination;
    bool rangeSweep;  // every range size, or one range and ranges of 256 alone
};
constexpr ConversionCase CONVERSIONS[] = {
    {"full_to_compact", &FULL, &COMPACT, true},
    {"copy", &FLOATS, &FLOATS, true},
    {"compact_to_full", &COMPACT, &FULL, true},
    {"two_streams", &TWO_STREAMS_FULL, &TWO_STREAMS_COMPACT, false},
};

float Uniform(std::mt19937& random, float low, float high) {
    return std::uniform_real_distribution<float>(low, high)(random);
}

// One conversion: its buffers and the record over them. A layout with one
// stream has one buffer per side, which both stream views show.
struct ConversionData {
    host::ConversionBuffers buffers;
    std::vector<uint8_t>& source = buffers.sourceStreams[0].elements;
    std::vector<uint8_t>& destination = buffers.destinationStreams[0].elements;
    std::unique_ptr<ConvertVertexLayoutRecord> record;

    ConversionData(const Layout& from, const Layout& to, int32_t count) {
        for (int s = 0; s < 2; ++s) {
            buffers.sourceStreams[s].elements.resize(static_cast<size_t>(count) * (s ? from.stride1 : from.stride));
            buffers.destinationStreams[s].elements.resize(static_cast<size_t>(count) * (s ? to.stride1 : to.stride));
        }
        buffers.sourceAttributes.elements.assign(from.slots, from.slots + ATTRIBUTE_SLOT_COUNT);
        buffers.destinationAttributes.elements.assign(to.slots, to.slots + ATTRIBUTE_SLOT_COUNT);
        // A turn about z, a scale and a shift: nothing the job could skip.
        auto& m = buffers.positionMatrix.columns;
        const float c = 0.8f, s = 0.6f;
        m[0][0] = 2 * c, m[0][1] = 2 * s;
        m[1][0] = -2 * s, m[1][1] = 2 * c;
        m[2][2] = 2;
        m[3][0] = 1, m[3][1] = -2, m[3][2] = 3, m[3][3] = 1;
        auto& n = buffers.normalMatrix.columns;
        n[0][0] = c, n[0][1] = -s, n[1][0] = s, n[1][1] = c, n[2][2] = 1, n[3][3] = 1;
        buffers.texCoordScaleOffsetA = {0.5f, 0.5f, 0.25f, 0.125f};
        buffers.sourceStrides = {from.stride, from.stride1 ? from.stride1 : from.stride};
        buffers.destinationStrides = {to.stride, to.stride1 ? to.stride1 : to.stride};
        record = buffers.Record();
        if (from.stride1 == 0) record->sourceStream1 = record->sourceStream0;
        if (to.stride1 == 0) record->destinationStream1 = record->destinationStream0;
    }

    uint8_t* SourceVertex(int stream, int32_t i) {
        const ArrayView<uint8_t>& view = stream ? record->sourceStream1 : record->sourceStream0;
        return view.data + static_cast<size_t>(i) * (stream ? record->sourceStride1 : record->sourceStride0);
    }
    size_t SourceBytes() const {
        return buffers.sourceStreams[0].elements.size() + buffers.sourceStreams[1].elements.size();
    }
};

// Plausible vertices in a source layout of singles (colors may be bytes),
// each attribute where the layout's descriptor puts it; compact sources are
// made from these by the job itself.
void FillSource(ConversionData& data, const Layout& layout, int32_t vertices, std::mt19937& random) {
    for (int32_t i = 0; i < vertices; ++i) {
        auto put = [&](int slot, std::initializer_list<float> values) {
            const uint32_t descriptor = layout.slots[slot];
            uint8_t* at = data.SourceVertex(descriptor >> 24, i) + (descriptor >> 16 & 0xFFu);
            if ((descriptor >> 8 & 0xFFu) == UNORM8) {
                const uint32_t bytes = random();
                std::memcpy(at, &bytes, 4);
                return;
            }
            const size_t count = std::min<size_t>(descriptor & 0xFFu, values.size());
            for (size_t k = 0; k < count; ++k) std::memcpy(at + 4 * k, values.begin() + k, 4);
        };
        put(0, {Uniform(random, -100, 100), Uniform(random, -100, 100), Uniform(random, -100, 100)});
        float n[3] = {Uniform(random, -1, 1), Uniform(random, -1, 1), Uniform(random, -1, 1)};
        const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) + 1e-3f;
        put(1, {n[0] / length, n[1] / length, n[2] / length});
        put(2, {n[1] / length, -n[0] / length, 0.0f, (i & 1) ? 1.0f : -1.0f});
        for (int slot = 3; slot < 6; ++slot)
            put(slot, {Uniform(random, 0, 1), Uniform(random, 0, 1), Uniform(random, 0, 1), Uniform(random, 0, 1)});
    }
}

std::unique_ptr<ConversionData> MakeConversion(const ConversionCase& kind, int32_t vertices) {
    std::mt19937 random(7);
    auto data = std::make_unique<ConversionData>(*kind.source, *kind.destination, vertices);
    if (kind.source == &COMPACT) {
        // Compact sources come from the job itself: full → compact.
        ConversionData full(FULL, COMPACT, vertices);
        FillSource(full, FULL, vertices, random);
        Workers(1).Run(*full.record, vertices);
        data->source = full.destination;
    } else {
        FillSource(*data, *kind.source, vertices, random);
    }
    return data;
}

constexpr int32_t CONVERSION_BATCH = 256;

// `batch`: the vertices per range the host hands out; 0 for one range over
// the whole job, as a host that does not batch would.
void ConversionBenchmark(benchmark::State& state, const ConversionCase& kind, int32_t vertices, int workers,
                         int32_t batch = CONVERSION_BATCH) {
    auto data = MakeConversion(kind, vertices);
    JobSystem& system = Workers(workers);
    host::ParallelForOptions options;
    options.batchSize = batch > 0 ? batch : vertices;
    for (auto _ : state) {
        system.Run(*data->record, vertices, options);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * vertices);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data->SourceBytes()));
}

void SourceCopyBenchmark(benchmark::State& state, const Layout& source, int32_t vertices) {
    std::vector<uint8_t> from(static_cast<size_t>(vertices) * source.VertexBytes(), 1), to(from.size() + 64);
    for (auto _ : state) CopyBuffer(to.data() + 64, from.data(), from.size());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(from.size()));
}

// The copy of the larger side, source or destination: what a conversion
// that only moved its bytes would cost.
void LargerCopyBenchmark(benchmark::State& state, const ConversionCase& kind, int32_t vertices) {
    const size_t stride = std::max(kind.source->VertexBytes(), kind.destination->VertexBytes());
    std::vector<uint8_t> from(static_cast<size_t>(vertices) * stride, 1), to(from.size() + 64);
    for (auto _ : state) CopyBuffer(to.data() + 64, from.data(), from.size());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(from.size()));
}

// ---------------------------------------------------------------- index jobs

constexpr int32_t MESH_VERTICES = 65536;
constexpr int32_t GRID = 256;  // a 256 × 256 torus: six triangles per vertex
constexpr int32_t MESH_INDICES = GRID * GRID * 6;
constexpr int32_t VERTEX_WORDS = 8;  // 32-byte vertices
constexpr int32_t INDEX_BATCH = 1024;

struct MeshKind {
    const char* name;
    bool thirdUnused;
    bool shuffled;
};
constexpr MeshKind MESHES[] = {
    {"all_used/ordered", false, false},
    {"all_used/shuffled", false, true},
    {"third_unused/ordered", true, false},
    {"third_unused/shuffled", true, true},
};

// Row-by-row quads of the torus: neighbouring triangles share vertices, the
// order a cache optimiser leaves behind. Shuffled: triangles in random order
// and vertex numbers permuted. A third unused: every vertex numbered 2 mod 3
// is replaced by its predecessor, which keeps the order's locality.
std::vector<uint16_t> MakeIndices(const MeshKind& kind) {
    std::vector<uint16_t> indices;
    indices.reserve(MESH_INDICES);
    auto id = [](int x, int y) { return static_cast<uint16_t>((y % GRID) * GRID + (x % GRID)); };
    for (int y = 0; y < GRID; ++y)
        for (int x = 0; x < GRID; ++x) {
            const uint16_t a = id(x, y), b = id(x + 1, y), c = id(x, y + 1), d = id(x + 1, y + 1);
            indices.insert(indices.end(), {a, b, c, b, d, c});
        }
    if (kind.thirdUnused)
        for (auto& index : indices)
            if (index % 3 == 2) --index;
    if (kind.shuffled) {
        std::mt19937 random(11);
        for (size_t t = indices.size() / 3 - 1; t > 0; --t) {
            const size_t other = std::uniform_int_distribution<size_t>(0, t)(random);
            std::swap_ranges(indices.begin() + 3 * t, indices.begin() + 3 * t + 3, indices.begin() + 3 * other);
        }
        std::vector<uint16_t> permutation(MESH_VERTICES);
        for (int32_t v = 0; v < MESH_VERTICES; ++v) permutation[v] = static_cast<uint16_t>(v);
        std::shuffle(permutation.begin(), permutation.end(), random);
        for (auto& index : indices) index = permutation[index];
    }
    return indices;
}

struct IndexData {
    std::vector<uint16_t> original;
    host::JobBuffer<uint16_t> indices;
    host::JobBuffer<int32_t> used, counts;
    host::JobBuffer<uint32_t> sourceVertices, destinationVertices;
    host::JobValue<int32_t> highest, vertexCount;

    explicit IndexData(const MeshKind& kind)
        : original(MakeIndices(kind)),
          indices(original),
          used(std::vector<int32_t>(MESH_VERTICES)),
          counts(std::vector<int32_t>(MESH_VERTICES)),
          sourceVertices(std::vector<uint32_t>(static_cast<size_t>(MESH_VERTICES) * VERTEX_WORDS)),
          destinationVertices(std::vector<uint32_t>(sourceVertices.elements.size())) {
        for (size_t w = 0; w < sourceVertices.elements.size(); ++w)
            sourceVertices.elements[w] = static_cast<uint32_t>(w * 2654435761u);
    }

    MarkUsedVerticesRecord Mark() { return MakeMarkUsedVerticesRecord(used, indices, highest); }
    CompactVerticesRecord Compact() {
        return MakeCompactVerticesRecord(used, destinationVertices, sourceVertices, vertexCount, VERTEX_WORDS,
                                         highest.value);
    }
    RemapIndicesRecord Remap() { return MakeRemapIndicesRecord(indices, used); }
    CountVertexReferencesRecord Count() { return MakeCountVertexReferencesRecord(counts, indices); }

    // The strip's inputs as the marking job leaves them.
    void MarkAll() {
        std::fill(used.elements.begin(), used.elements.end(), 0);
        auto record = Mark();
        Workers(1).Run(record);
    }
};

host::ParallelForOptions IndexOptions() {
    host::ParallelForOptions options;
    options.batchSize = INDEX_BATCH;
    return options;
}

void MarkBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    auto record = data.Mark();
    for (auto _ : state) {
        Workers(1).Run(record);
        benchmark::ClobberMemory();
    }
}

void CompactBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    data.MarkAll();
    const std::vector<int32_t> flags = data.used.elements;
    for (auto _ : state) {
        state.PauseTiming();
        data.used.elements = flags;
        auto record = data.Compact();
        state.ResumeTiming();
        Workers(1).Run(record);
        benchmark::ClobberMemory();
    }
}

void RemapBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    data.MarkAll();
    auto compact = data.Compact();
    Workers(1).Run(compact);
    const auto record = data.Remap();
    for (auto _ : state) {
        state.PauseTiming();
        data.indices.elements = data.original;
        state.ResumeTiming();
        Workers(1).Run(record, MESH_INDICES, IndexOptions());
        benchmark::ClobberMemory();
    }
}

void CountBenchmark(benchmark::State& state, const MeshKind& kind, int workers) {
    IndexData data(kind);
    const auto record = data.Count();
    for (auto _ : state) {
        Workers(workers).Run(record, MESH_INDICES, IndexOptions());
        benchmark::ClobberMemory();
    }
}

// What the counting job would be without atomics, checks or host.
__attribute__((noinline)) void PlainCount(int32_t* counts, const uint16_t* indices, size_t count) {
    for (size_t i = 0; i < count; ++i) ++counts[indices[i]];
}

void PlainCountBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    const std::vector<uint16_t>& indices = data.indices.elements;
    for (auto _ : state) {
        PlainCount(data.counts.elements.data(), indices.data(), indices.size());
        benchmark::ClobberMemory();
    }
}

// Marking, compaction and remapping, from a zeroed flag array to the
// rewritten index buffer.
void StripBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    for (auto _ : state) {
        state.PauseTiming();
        data.indices.elements = data.original;
        state.ResumeTiming();
        std::fill(data.used.elements.begin(), data.used.elements.end(), 0);
        auto mark = data.Mark();
        Workers(1).Run(mark);
        auto compact = data.Compact();
        Workers(1).Run(compact);
        Workers(1).Run(data.Remap(), MESH_INDICES, IndexOptions());
        benchmark::ClobberMemory();
    }
}

// The peer: its fetch remap, vertex remap and index remap on 16-bit indices.
void PeerStripBenchmark(benchmark::State& state, const MeshKind& kind) {
    IndexData data(kind);
    std::vector<unsigned int> remap(MESH_VERTICES);
    std::vector<uint16_t>& indices = data.indices.elements;
    for (auto _ : state) {
        state.PauseTiming();
        indices = data.original;
        state.ResumeTiming();
        const size_t unique = meshopt_optimizeVertexFetchRemap(remap.data(), indices.data(), MESH_INDICES,
                                                               MESH_VERTICES);
        meshopt_remapVertexBuffer(data.destinationVertices.elements.data(), data.sourceVertices.elements.data(),
                                  MESH_VERTICES, VERTEX_WORDS * 4, remap.data());
        meshopt_remapIndexBuffer(indices.data(), indices.data(), MESH_INDICES, remap.data());
        benchmark::DoNotOptimize(unique);
        benchmark::ClobberMemory();
    }
}

// Baselines: one copy of every buffer a job reads or writes.
void TouchedCopyBenchmark(benchmark::State& state, std::vector<size_t> sizes) {
    size_t largest = *std::max_element(sizes.begin(), sizes.end());
    std::vector<uint8_t> from(largest, 1), to(largest + 64);
    for (auto _ : state)
        for (size_t size : sizes) CopyBuffer(to.data() + 64, from.data(), size);
}

// ---------------------------------------------------------------- fixed cost

// A minimal host: one range, then none; no-op patch; permissions never fail.
struct TinySource {
    int32_t begin, end;
    bool given;
};
bool TinyRange(void* source, int32_t, int32_t* begin, int32_t* end) {
    auto* tiny = static_cast<TinySource*>(source);
    if (tiny->given) return false;
    tiny->given = true;
    *begin = tiny->begin;
    *end = tiny->end;
    return true;
}
void TinyPatch(void*, void*, int32_t, int32_t) {}
void TinyAbort(const char*, const char*) { std::abort(); }
void TinyCheck(AtomicSafetyHandle*) {}

void* TinyResolve(const char* name) {
    void* const functions[HOST_FUNCTION_COUNT] = {
        reinterpret_cast<void*>(&TinyAbort), reinterpret_cast<void*>(&TinyCheck),
        reinterpret_cast<void*>(&TinyCheck), reinterpret_cast<void*>(&TinyRange),
        reinterpret_cast<void*>(&TinyPatch)};
    for (int i = 0; i < HOST_FUNCTION_COUNT; ++i)
        if (std::strcmp(name, HOST_FUNCTION_NAMES[i]) == 0) return functions[i];
    return nullptr;
}

// The host calls one range makes, without the library.
__attribute__((noinline)) void HostCallsAlone(TinySource& source, void* record) {
    int32_t begin = 0, end = 0;
    bool (*volatile range)(void*, int32_t, int32_t*, int32_t*) = &TinyRange;
    void (*volatile patch)(void*, void*, int32_t, int32_t) = &TinyPatch;
    while (range(&source, 0, &begin, &end)) patch(nullptr, record, begin, end - begin);
    benchmark::DoNotOptimize(begin);
}

void HostCallsBenchmark(benchmark::State& state) {
    ConvertVertexLayoutRecord record{};
    for (auto _ : state) {
        TinySource source{0, 3, false};
        HostCallsAlone(source, &record);
    }
}

template <typename Record>
void TinyJobBenchmark(benchmark::State& state, JobId job, Record& record, int32_t count) {
    TheLibrary().LibraryInitializer()(&TinyResolve);
    const JobEntryFunction entry = TheLibrary().Entry(job);
    for (auto _ : state) {
        TinySource source{0, count, false};
        entry(&record, nullptr, nullptr, &source, 0);
        benchmark::ClobberMemory();
    }
    TheLibrary().Initialize();
}

void TinyConversionBenchmark(benchmark::State& state) {
    auto data = MakeConversion(CONVERSIONS[0], 3);
    TinyJobBenchmark(state, JobId::ConvertVertexLayout, *data->record, 3);
}

void TinyCountBenchmark(benchmark::State& state) {
    host::CountingBuffers counting(std::vector<int32_t>(3), {0, 1, 2});
    auto record = counting.Record();
    TinyJobBenchmark(state, JobId::CountVertexReferences, record, 3);
}

void TinyRemapBenchmark(benchmark::State& state) {
    host::RemappingBuffers remapping({0, 1, 2}, {0, 1, 2});
    auto record = remapping.Record();
    TinyJobBenchmark(state, JobId::RemapIndices, record, 3);
}

std::string Name(std::initializer_list<std::string> parts) {
    std::string name;
    for (const auto& part : parts) name += (name.empty() ? "" : "/") + part;
    return name;
}

std::vector<Comparison>& ComparisonList() {
    static std::vector<Comparison> list;
    return list;
}

void Compare(std::string label, std::string subject, std::string baseline, double limit, bool speedUp = false,
             bool difference = false) {
    ComparisonList().push_back({std::move(label), std::move(subject), std::move(baseline), limit, speedUp, difference});
}

}  // namespace

const std::vector<Comparison>& Comparisons() { return ComparisonList(); }

void RegisterCases(int parallel) {
    auto add = [](const std::string& name, auto function) {
        return benchmark::RegisterBenchmark(name.c_str(), function)->UseRealTime()->Unit(benchmark::kMicrosecond);
    };

    for (const ConversionCase& kind : CONVERSIONS) {
        for (int32_t vertices : {1000000, 4096}) {
            const std::string count = std::to_string(vertices);
            const std::string copy = Name({"memcpy_source", kind.name, count});
            add(copy, [&kind, vertices](benchmark::State& state) { SourceCopyBenchmark(state, *kind.source, vertices); });
            for (int workers : parallel > 1 ? std::vector<int>{1, parallel} : std::vector<int>{1}) {
                const std::string name = Name({"convert", kind.name, count, "workers:" + std::to_string(workers)});
                add(name, [&kind, vertices, workers](benchmark::State& state) {
                    ConversionBenchmark(state, kind, vertices, workers);
                });
            }
            const std::string one = Name({"convert", kind.name, count, "workers:1"});
            const std::string many = Name({"convert", kind.name, count, "workers:" + std::to_string(parallel)});
            const bool inCache = vertices == 4096;
            const double limit = std::string(kind.name) == "full_to_compact" && !inCache ? 1.5 : 2.0;
            Compare(Name({"convert", kind.name, count}) + " vs memcpy", one, copy, limit);

            // However the host slices the job: one range, or ranges of any
            // size, against a copy of the larger side.
            const std::string larger = Name({"memcpy_larger", kind.name, count});
            add(larger, [&kind, vertices](benchmark::State& state) { LargerCopyBenchmark(state, kind, vertices); });
            for (int32_t batch : {0, 64, 256, 4096, 65536}) {
                if (batch >= vertices || (!kind.rangeSweep && batch != 0)) continue;
                const std::string range = batch ? std::to_string(batch) : "all";
                add(Name({"convert", kind.name, count, "range:" + range}), [&kind, vertices, batch](benchmark::State& s) {
                    ConversionBenchmark(s, kind, vertices, 1, batch);
                });
            }
            const double largerLimit = inCache ? (std::string(kind.name) == "full_to_compact" ? 3.0 : 0) : limit;
            Compare(Name({"convert", kind.name, count}) + " one range vs memcpy larger",
                    Name({"convert", kind.name, count, "range:all"}), larger, largerLimit);
            Compare(Name({"convert", kind.name, count}) + " ranges of 256 vs memcpy larger", one, larger, largerLimit);
            for (int32_t batch : {0, 64, 4096, 65536})
                if (batch < vertices && (kind.rangeSweep || batch == 0)) {
                    const std::string range = batch ? std::to_string(batch) : "all";
                    Compare(Name({"convert", kind.name, count}) + " range:" + range + " vs range:256",
                            Name({"convert", kind.name, count, "range:" + range}), one, batch == 64 ? 0 : 1.15);
                }
            // The goal is for two workers; other counts are shown without one.
            if (inCache && parallel > 1)
                Compare(Name({"convert", kind.name, count}) + " " + std::to_string(parallel) + " workers speed-up",
                        many, one, parallel == 2 ? 1.8 : 0, true);
        }
    }

    const size_t indexBytes = MESH_INDICES * 2, flagBytes = MESH_VERTICES * 4,
                 vertexBytes = static_cast<size_t>(MESH_VERTICES) * VERTEX_WORDS * 4;
    add("memcpy_touched/mark", [=](benchmark::State& s) { TouchedCopyBenchmark(s, {indexBytes, flagBytes}); });
    add("memcpy_touched/compact",
        [=](benchmark::State& s) { TouchedCopyBenchmark(s, {flagBytes, vertexBytes}); });
    add("memcpy_touched/remap", [=](benchmark::State& s) { TouchedCopyBenchmark(s, {indexBytes, flagBytes}); });
    add("memcpy_touched/count", [=](benchmark::State& s) { TouchedCopyBenchmark(s, {indexBytes, flagBytes}); });

    for (const MeshKind& mesh : MESHES) {
        const std::string m = mesh.name;
        add(Name({"mark", m}), [&mesh](benchmark::State& s) { MarkBenchmark(s, mesh); });
        add(Name({"compact", m}), [&mesh](benchmark::State& s) { CompactBenchmark(s, mesh); });
        add(Name({"remap", m}), [&mesh](benchmark::State& s) { RemapBenchmark(s, mesh); });
        add(Name({"count", m, "workers:1"}), [&mesh](benchmark::State& s) { CountBenchmark(s, mesh, 1); });
        if (parallel > 1)
            add(Name({"count", m, "workers:" + std::to_string(parallel)}),
                [&mesh, parallel](benchmark::State& s) { CountBenchmark(s, mesh, parallel); });
        add(Name({"plain_count", m}), [&mesh](benchmark::State& s) { PlainCountBenchmark(s, mesh); });
        add(Name({"strip", m}), [&mesh](benchmark::State& s) { StripBenchmark(s, mesh); });
        add(Name({"peer_strip", m}), [&mesh](benchmark::State& s) { PeerStripBenchmark(s, mesh); });

        Compare(Name({"count", m}) + " vs plain loop", Name({"count", m, "workers:1"}), Name({"plain_count", m}), 2.0);
        Compare(Name({"strip", m}) + " speed-up over peer", Name({"strip", m}), Name({"peer_strip", m}), 2.0, true);
        for (const char* job : {"mark", "compact", "remap"})
            Compare(Name({job, m}) + " vs memcpy", Name({job, m}), Name({"memcpy_touched", job}), 0);
    }

    add("fixed_cost/host_calls", [](benchmark::State& s) { HostCallsBenchmark(s); })->Unit(benchmark::kNanosecond);
    add("fixed_cost/convert_3", [](benchmark::State& s) { TinyConversionBenchmark(s); })->Unit(benchmark::kNanosecond);
    add("fixed_cost/count_3", [](benchmark::State& s) { TinyCountBenchmark(s); })->Unit(benchmark::kNanosecond);
    add("fixed_cost/remap_3", [](benchmark::State& s) { TinyRemapBenchmark(s); })->Unit(benchmark::kNanosecond);
    for (const char* job : {"convert_3", "count_3", "remap_3"})
        Compare(Name({"fixed_cost", job}) + " beyond host calls (ns)", Name({"fixed_cost", job}),
                "fixed_cost/host_calls", 100, false, true);
}

}  // namespace meshjobs::bench
