// Marking, compaction and remapping take block loops when a call's or a
// range's fields prove every test passes. Against a model that runs each test
// per index: random buffers with restricted views, index values past the
// bound at random places, permissions that take the host's slow path or are
// refused, null and overlapping vertex buffers, ranges restricted short of
// what the host hands out. Every byte, the error raised and the number of
// host check calls per cell must agree.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

using host::JobSystem;
using host::SafetyCell;

// A cell in one of the states a host hands over, and the model's view of it.
struct ModelCell {
    SafetyCell cell;
    bool readable = true, writable = true;
    int reads = 0, writes = 0;

    void Set(int mode) {
        if (mode == 1) cell.SetValue(cell.version() | 3);  // both fast tests fail, host permits
        if (mode == 2) cell.SetValue(cell.version() | 4);  // bit 2: both fast tests pass
        if (mode == 3) readable = false, cell.SetReadable(false);
        if (mode == 4) writable = false, cell.SetWritable(false);
    }
    // Modes 3 and 4 are rare: a refusal ends the job at its first access.
    void SetRandom(std::mt19937& random) {
        const uint32_t pick = random() % 16;
        Set(pick < 10 ? 0 : pick < 12 ? 1 : pick < 14 ? 2 : pick == 14 ? 3 : 4);
    }
    uint32_t value() const { return static_cast<uint32_t>(cell.value()); }
};

struct Refused {};
struct Aborted {
    std::string message;
};

void ModelRead(ModelCell& c) {
    if (c.cell.version() == static_cast<int32_t>(c.value() & READ_MASK)) return;
    ++c.reads;
    if (!c.readable) throw Refused{};
}
void ModelWrite(ModelCell& c) {
    if (c.cell.version() == static_cast<int32_t>(c.value() & WRITE_MASK)) return;
    ++c.writes;
    if (!c.writable) throw Refused{};
}
template <typename T>
void ModelIndex(const ArrayView<T>& v, int32_t k) {
    if (v.rangeMin <= k && k <= v.rangeMax && uint32_t(k) < uint32_t(v.length)) return;
    const bool unrestricted = v.rangeMin == 0 && v.rangeMax == v.length - 1;
    throw Aborted{uint32_t(k) >= uint32_t(v.length) || unrestricted ? LENGTH_MESSAGE : RESTRICTED_MESSAGE};
}

// What a run ended with: "" for a clean end, else the message or "refused".
template <typename Run>
std::string Outcome(Run&& run) {
    try {
        run();
    } catch (const Refused&) {
        return "refused";
    } catch (const Aborted& aborted) {
        return aborted.message;
    } catch (const host::JobException& exception) {
        return exception.typeName() == host::INVALID_OPERATION_EXCEPTION ? "refused" : exception.message();
    }
    return "";
}

// A view's range: mostly unrestricted, sometimes cut at either end, sometimes
// reaching past the length as a host that breaks its promise would.
template <typename T>
void Restrict(ArrayView<T>& view, std::mt19937& random) {
    if (random() % 10 == 0) view.rangeMax += 1 + int32_t(random() % 40);
    if (view.length == 0 || random() % 4 != 0) return;
    view.rangeMin = random() % 3 == 0 ? int32_t(random() % view.length) : 0;
    view.rangeMax = view.rangeMin + int32_t(random() % (view.length - view.rangeMin));
}

std::vector<uint16_t> RandomIndices(std::mt19937& random, int32_t vertexCount, int32_t badLimit) {
    const int32_t count = random() % 4 == 0 ? int32_t(random() % 80) : int32_t(random() % 20000);
    std::vector<uint16_t> indices(count);
    for (auto& index : indices) index = uint16_t(random() % vertexCount);
    // An index past the vertices, at a random place.
    if (count > 0 && vertexCount < badLimit && random() % 3 == 0)
        indices[random() % count] =
            uint16_t(vertexCount + random() % std::min<int32_t>(random() % 2 ? 40 : 65536, badLimit - vertexCount));
    return indices;
}

class DifferentialStrip : public LibraryTest {};

TEST_F(DifferentialStrip, MarkingMatchesThePerIndexModel) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        const int32_t vertexCount = 1 + random() % (random() % 2 ? 70 : 5000);
        std::vector<uint16_t> indices = RandomIndices(random, vertexCount, 65536);
        // Flags and indices may share one buffer: the flag stores then change
        // indices still to be read.
        const bool shared = random() % 8 == 0;
        const size_t indexWords = (indices.size() + 1) / 2;
        std::vector<int32_t> memory(vertexCount + (shared ? indexWords : 0) + 2, -3);
        int32_t* flags = memory.data() + 1;
        const int32_t offset = int32_t(random() % vertexCount);
        uint16_t* indexData = shared ? reinterpret_cast<uint16_t*>(flags + offset) : indices.data();
        if (shared) {
            // Half the indices name flags that lie on indices a few places ahead.
            for (size_t i = 0; i < indices.size(); ++i) {
                const int32_t ahead = offset + int32_t(i / 2) + 1 + int32_t(random() % 8);
                if (random() % 2 && ahead < vertexCount) indices[i] = uint16_t(ahead);
            }
            if (!indices.empty()) std::memcpy(indexData, indices.data(), indices.size() * 2);
        }

        ModelCell usedCell, indicesCell, highestCell;
        usedCell.SetRandom(random), indicesCell.SetRandom(random), highestCell.SetRandom(random);
        int32_t highest = -1;
        MarkUsedVerticesRecord record{host::MakeView(flags, vertexCount, usedCell.cell),
                                      host::MakeView(indexData, int32_t(indices.size()), indicesCell.cell),
                                      host::MakeValueRef(&highest, highestCell.cell)};
        Restrict(record.used, random);
        Restrict(record.indices, random);

        // The model on a copy of the same memory, with the same addresses' roles.
        std::vector<int32_t> modelMemory = memory;
        const ptrdiff_t shift = reinterpret_cast<uint8_t*>(modelMemory.data()) - reinterpret_cast<uint8_t*>(memory.data());
        MarkUsedVerticesRecord model = record;
        model.used.data = reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(flags) + shift);
        if (shared) model.indices.data = reinterpret_cast<uint16_t*>(reinterpret_cast<uint8_t*>(indexData) + shift);
        int32_t modelHighest = -1;
        const std::string expected = Outcome([&] {
            uint32_t top = 0;
            for (int32_t i = 0; i < model.indices.length; ++i) {
                ModelIndex(model.indices, i);
                ModelRead(indicesCell);
                const uint32_t v = model.indices.data[i];
                ModelIndex(model.used, int32_t(v));
                ModelWrite(usedCell);
                model.used.data[v] = 1;
                top = v > top ? v : top;
            }
            ModelWrite(highestCell);
            modelHighest = int32_t(top);
        });
        const int modelCalls[] = {usedCell.reads, usedCell.writes, indicesCell.reads, indicesCell.writes,
                                  highestCell.writes};

        const std::string actual = Outcome([&] { JobSystem(library(), 1).Run(record); });
        EXPECT_EQ(actual, expected) << "seed " << seed;
        EXPECT_EQ(memory, modelMemory) << "seed " << seed;
        EXPECT_EQ(highest, modelHighest) << "seed " << seed;
        const int calls[] = {usedCell.cell.readCheckCalls(), usedCell.cell.writeCheckCalls(),
                             indicesCell.cell.readCheckCalls(), indicesCell.cell.writeCheckCalls(),
                             highestCell.cell.writeCheckCalls()};
        EXPECT_TRUE(std::equal(std::begin(calls), std::end(calls), std::begin(modelCalls))) << "seed " << seed;
        if (HasFailure()) break;
    }
}

TEST_F(DifferentialStrip, CompactionMatchesThePerVertexModel) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        const int32_t vertexCount = random() % (random() % 2 ? 70 : 3000);
        static constexpr int32_t STRIDES[] = {0, 1, 3, 5, 8, 8, 8, 9, 16};
        const int32_t stride = STRIDES[random() % 9];
        const int32_t last = random() % 10 == 0  ? -1
                             : random() % 4 == 0 ? vertexCount + int32_t(random() % 40)
                                                 : int32_t(random() % (vertexCount + 3)) - 1;
        std::vector<int32_t> flags(vertexCount);
        const uint32_t unusedShare = random() % 3;
        for (auto& f : flags) f = random() % 3 < unusedShare ? int32_t(random() % 3) - 2 : 1 + int32_t(random() % 4);

        // One block of memory: map, source and destination, the destination
        // either apart, the source itself, or overlapping it from either side.
        const size_t vertexWords = size_t(vertexCount) * stride;
        const int32_t layout = random() % 5;
        const size_t gap = layout == 3 ? size_t(random() % 40) : 0;
        std::vector<uint32_t> memory(vertexCount + 3 * vertexWords + gap + 64, 0xEEEEEEEE);
        if (!flags.empty()) std::memcpy(memory.data(), flags.data(), flags.size() * 4);
        uint32_t* source = memory.data() + vertexCount + vertexWords / 2 + 8;
        for (size_t w = 0; w < vertexWords; ++w) source[w] = uint32_t(w * 2654435761u);
        uint32_t* destination = layout == 0 ? source + vertexWords + 4
                                : layout == 1 ? source
                                : layout == 2 ? source - std::min<size_t>(vertexWords / 2, random() % 20)
                                : layout == 3 ? source + gap
                                              : source - vertexWords / 2 - 4;
        ModelCell remapCell, countCell, vertexCell;
        remapCell.SetRandom(random), countCell.SetRandom(random);
        int32_t vertexCount32 = -1;
        CompactVerticesRecord record{
            host::MakeView(reinterpret_cast<int32_t*>(memory.data()), vertexCount, remapCell.cell),
            host::MakeView(destination, int32_t(vertexWords + (random() % 4 == 0 ? 0 : 8)) - int32_t(random() % 2),
                           vertexCell.cell),
            host::MakeView(static_cast<uint32_t*>(source), int32_t(vertexWords) - int32_t(random() % 8 == 0),
                           vertexCell.cell),
            host::MakeValueRef(&vertexCount32, countCell.cell), stride, last};
        Restrict(record.remap, random);
        if (random() % 16 == 0) record.destinationVertices.data = nullptr;
        if (random() % 16 == 0) record.sourceVertices.data = nullptr;

        std::vector<uint32_t> modelMemory = memory;
        const auto moved = [&](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            return p == nullptr ? nullptr
                                : reinterpret_cast<T*>(reinterpret_cast<uint8_t*>(p) +
                                                       (reinterpret_cast<uint8_t*>(modelMemory.data()) -
                                                        reinterpret_cast<uint8_t*>(memory.data())));
        };
        CompactVerticesRecord model = record;
        model.remap.data = moved(record.remap.data);
        model.destinationVertices.data = moved(record.destinationVertices.data);
        model.sourceVertices.data = moved(record.sourceVertices.data);
        int32_t modelCount = -1;
        const std::string expected = Outcome([&] {
            int32_t count = 0;
            for (int64_t i = 0; i <= model.highestIndex; ++i) {
                ModelIndex(model.remap, int32_t(i));
                ModelRead(remapCell);
                if (model.remap.data[i] <= 0) continue;
                ModelWrite(remapCell);
                model.remap.data[i] = count;
                const int32_t bytes = stride * 4;
                if (bytes > 0) {
                    if (model.destinationVertices.data == nullptr) throw Aborted{"destination"};
                    if (model.sourceVertices.data == nullptr) throw Aborted{"source"};
                    if (int64_t(count + 1) * stride > model.destinationVertices.length ||
                        (i + 1) * stride > model.sourceVertices.length)
                        throw Aborted{LENGTH_MESSAGE};
                    auto* to = reinterpret_cast<uint8_t*>(model.destinationVertices.data + int64_t(count) * stride);
                    auto* from = reinterpret_cast<const uint8_t*>(model.sourceVertices.data + i * stride);
                    for (int32_t b = 0; b < bytes; ++b) to[b] = from[b];
                }
                ++count;
            }
            ModelWrite(countCell);
            modelCount = count;
        });
        const int modelCalls[] = {remapCell.reads, remapCell.writes, countCell.writes};

        const std::string actual = Outcome([&] { JobSystem(library(), 1).Run(record); });
        EXPECT_EQ(actual, expected) << "seed " << seed;
        EXPECT_EQ(memory, modelMemory) << "seed " << seed << ", layout " << layout << ", stride " << stride;
        EXPECT_EQ(vertexCount32, modelCount) << "seed " << seed;
        const int calls[] = {remapCell.cell.readCheckCalls(), remapCell.cell.writeCheckCalls(),
                             countCell.cell.writeCheckCalls()};
        EXPECT_TRUE(std::equal(std::begin(calls), std::end(calls), std::begin(modelCalls))) << "seed " << seed;
        if (HasFailure()) break;
    }
}

TEST_F(DifferentialStrip, RemappingMatchesThePerIndexModelInEveryRange) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        std::mt19937 random(seed);
        const int32_t vertexCount = 1 + random() % (random() % 2 ? 70 : 5000);
        std::vector<uint16_t> indices = RandomIndices(random, vertexCount, 65536);
        const int32_t n = int32_t(indices.size());
        // Map and indices may share one buffer: index stores then change map
        // entries still to be read.
        const bool shared = random() % 8 == 0;
        std::vector<int32_t> memory(vertexCount + (shared ? 0 : (n + 1) / 2) + 2);
        for (auto& m : memory) m = int32_t(random());
        int32_t* map = memory.data() + 1;
        uint16_t* indexData = reinterpret_cast<uint16_t*>(map + vertexCount);
        if (shared) {
            memory.resize(memory.size() + (n + 1) / 2 + vertexCount);
            map = memory.data() + 1;
            indexData = reinterpret_cast<uint16_t*>(map + random() % vertexCount);
        }
        if (!indices.empty()) std::memcpy(indexData, indices.data(), indices.size() * 2);

        ModelCell indicesCell, remapCell;
        indicesCell.SetRandom(random), remapCell.SetRandom(random);
        RemapIndicesRecord record{host::MakeView(indexData, n, indicesCell.cell),
                                  host::MakeView(map, vertexCount, remapCell.cell)};
        Restrict(record.remap, random);

        // Ranges in order on one worker; some restricted short of their end.
        std::vector<host::Range> ranges;
        std::vector<int32_t> cut;
        for (int32_t begin = 0; begin < n;) {
            const int32_t end = std::min(n, begin + 1 + int32_t(random() % (random() % 2 ? 40 : 3000)));
            ranges.push_back({begin, end});
            cut.push_back(random() % 12 == 0 ? int32_t(random() % (end - begin + 1)) : 0);
            begin = end;
        }
        host::ParallelForOptions options;
        options.scriptedRanges = {ranges};
        size_t patched = 0;
        options.patchOverride = [&](void* r, int32_t, int32_t) {
            static_cast<RemapIndicesRecord*>(r)->indices.rangeMax -= cut[patched++];
        };

        std::vector<int32_t> modelMemory = memory;
        const ptrdiff_t shift = reinterpret_cast<uint8_t*>(modelMemory.data()) - reinterpret_cast<uint8_t*>(memory.data());
        RemapIndicesRecord model = record;
        model.indices.data = reinterpret_cast<uint16_t*>(reinterpret_cast<uint8_t*>(indexData) + shift);
        model.remap.data = reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(map) + shift);
        const std::string expected = Outcome([&] {
            for (size_t r = 0; r < ranges.size(); ++r) {
                model.indices.rangeMin = ranges[r].begin;
                model.indices.rangeMax = ranges[r].end - 1 - cut[r];
                for (int32_t i = ranges[r].begin; i < ranges[r].end; ++i) {
                    ModelIndex(model.indices, i);
                    ModelRead(indicesCell);
                    const int32_t v = model.indices.data[i];
                    ModelIndex(model.remap, v);
                    ModelRead(remapCell);
                    const int32_t mapped = model.remap.data[v];
                    ModelWrite(indicesCell);
                    model.indices.data[i] = uint16_t(mapped);
                }
            }
        });
        const int modelCalls[] = {indicesCell.reads, indicesCell.writes, remapCell.reads};

        const std::string actual = Outcome([&] { JobSystem(library(), 1).Run(record, n, options); });
        EXPECT_EQ(actual, expected) << "seed " << seed;
        EXPECT_EQ(memory, modelMemory) << "seed " << seed;
        const int calls[] = {indicesCell.cell.readCheckCalls(), indicesCell.cell.writeCheckCalls(),
                             remapCell.cell.readCheckCalls()};
        EXPECT_TRUE(std::equal(std::begin(calls), std::end(calls), std::begin(modelCalls))) << "seed " << seed;
        if (HasFailure()) break;
    }
}

}  // namespace
}  // namespace meshjobs::testing
