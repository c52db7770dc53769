// Packs the used vertices to the front of the destination in index order and
// turns the used flags into an old-to-new index map.
#include "indexjobs/index_scan.h"
#include "runtime/byte_copy.h"
#include "jobs.h"
#include "meshjobs/records.h"
#include "runtime/checks.h"

namespace meshjobs {
namespace {

// Words [first, first + count) lie inside a view of `length` words.
bool WordsInside(int64_t first, int64_t count, int32_t length) {
    return first >= 0 && first + count <= static_cast<int64_t>(length);
}

// The copy of one vertex: null tests on the two addresses first, then the
// bounds of both views, then the bytes. A null base counts as a null address
// whatever the offset, since no address derived from it is valid.
bool CopyVertex(const CompactVerticesRecord& record, int32_t to, int32_t from) {
    const int32_t stride = record.vertexStride;
    const int32_t byteCount = static_cast<int32_t>(static_cast<uint32_t>(stride) * 4u);
    if (byteCount <= 0) return true;
    const int64_t toWord = static_cast<int64_t>(to) * stride;
    const int64_t fromWord = static_cast<int64_t>(from) * stride;
    uint32_t* destination = record.destinationVertices.data;
    const uint32_t* source = record.sourceVertices.data;
    if (destination == nullptr) return Abort(ARGUMENT_NULL_EXCEPTION, DESTINATION_PARAMETER);
    if (source == nullptr) return Abort(ARGUMENT_NULL_EXCEPTION, SOURCE_PARAMETER);
    // Bounded by the words actually copied: a negative stride still copies
    // its 32-bit byte count.
    const int32_t wordCount = byteCount / 4;
    if (!WordsInside(toWord, wordCount, record.destinationVertices.length) ||
        !WordsInside(fromWord, wordCount, record.sourceVertices.length))
        return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, LENGTH_MESSAGE);
    return CopyBytes(destination + toWord, source + fromWord, byteCount);
}

// Vertices [0, answer) can run without per-vertex tests: each passes its index
// test, the map's permissions hold now, every copy has non-null addresses
// inside both views, and no store can land on the map, the record or the
// map's version cell.
int64_t FastEnd(const CompactVerticesRecord& record, int64_t last) {
    const int32_t stride = record.vertexStride;
    if (last < 0 || stride <= 0 || stride > (1 << 28) || record.remap.data == nullptr) return 0;
    if (record.destinationVertices.data == nullptr || record.sourceVertices.data == nullptr) return 0;
    int64_t end = record.remap.rangeMin <= 0 ? static_cast<int64_t>(LastPassing(record.remap)) + 1 : 0;
    if (end > last + 1) end = last + 1;
    // Vertex i moves to a slot no later than i, so both views holding `end`
    // vertices covers every copy below end.
    const int64_t vertices = end < 0 ? 0 : end;
    const int64_t sourceFit = static_cast<int64_t>(record.sourceVertices.length) / stride;
    const int64_t destinationFit = static_cast<int64_t>(record.destinationVertices.length) / stride;
    end = vertices < sourceFit ? vertices : sourceFit;
    end = end < destinationFit ? end : destinationFit;
    if (end <= 0) return 0;
    const uint64_t vertexBytes = static_cast<uint64_t>(stride) * 4u;
    const uint32_t* written = record.destinationVertices.data;
    const uint64_t writtenBytes = static_cast<uint64_t>(end) * vertexBytes;
    const uint64_t mapBytes = static_cast<uint64_t>(end) * 4u;
    const int32_t* cell = record.remap.safety.versionCell;
    if (!Disjoint(written, writtenBytes, record.remap.data, mapBytes) ||
        !Disjoint(written, writtenBytes, &record, sizeof record) ||
        !Disjoint(written, writtenBytes, cell, 4) ||
        !Disjoint(record.remap.data, mapBytes, &record, sizeof record) ||
        !Disjoint(record.remap.data, mapBytes, cell, 4))
        return 0;
    if (!ReadWritePermitted(record.remap.safety)) return 0;
    return end;
}

}  // namespace

void CompactVertices(void* recordPointer) {
    auto& record = *static_cast<CompactVerticesRecord*>(recordPointer);
    const int64_t last = record.highestIndex;
    int32_t count = 0;
    int64_t vertex = 0;

    const int64_t fastEnd = FastEnd(record, last);
    if (fastEnd > 0) {
        int32_t* map = record.remap.data;
        const uint32_t vertexBytes = static_cast<uint32_t>(record.vertexStride) * 4u;
        auto* destination = reinterpret_cast<uint8_t*>(record.destinationVertices.data);
        const auto* source = reinterpret_cast<const uint8_t*>(record.sourceVertices.data);
        const auto* from = source;
        // Before the last used vertex every slot written is overwritten by the
        // next used vertex, so with the destination apart from the source the
        // copy can run for every vertex and skip the branch.
        int64_t lastUsed = fastEnd - 1;
        while (lastUsed >= 0 && map[lastUsed] <= 0) --lastUsed;
        const uint64_t span = static_cast<uint64_t>(fastEnd) * vertexBytes;
        const int64_t straightEnd = Disjoint(destination, span, source, span) && vertexBytes == 32 ? lastUsed : 0;
        for (; vertex < straightEnd; ++vertex, from += 32) {
            const int32_t old = map[vertex];
            const bool used = old > 0;
            map[vertex] = used ? count : old;
            __builtin_memcpy(destination + static_cast<uint64_t>(count) * 32u, from, 32);
            count += used;
        }
        for (; vertex < fastEnd; ++vertex, from += vertexBytes) {
            if (map[vertex] <= 0) continue;
            map[vertex] = count;
            CopyForward(destination + static_cast<uint64_t>(count) * vertexBytes, from, vertexBytes);
            ++count;
        }
    }

    for (; vertex <= last; ++vertex) {
        const int32_t i = static_cast<int32_t>(vertex);
        if (!CheckIndex(record.remap, i)) return;
        // One load of the cell serves the read test and the write test.
        const int32_t cell = LoadVersionCell(record.remap.safety);
        CheckReadAccessWith(record.remap.safety, cell);
        const int32_t used = record.remap.data[i];
        if (used > 0) {
            CheckWriteAccessWith(record.remap.safety, cell);
            record.remap.data[i] = count;
            if (!CopyVertex(record, count, i)) return;
            ++count;
        }
    }
    CheckWriteAccess(record.vertexCount.safety);
    *record.vertexCount.data = count;
}

}  // namespace meshjobs
