// Packs the used vertices to the front of the destination in index order and
// turns the used flags into an old-to-new index map.
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
    if (!WordsInside(toWord, stride, record.destinationVertices.length) ||
        !WordsInside(fromWord, stride, record.sourceVertices.length))
        return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, LENGTH_MESSAGE);
    return CopyBytes(destination + toWord, source + fromWord, byteCount);
}

}  // namespace

void CompactVertices(void* recordPointer) {
    auto& record = *static_cast<CompactVerticesRecord*>(recordPointer);
    const int64_t last = record.highestIndex;
    int32_t count = 0;
    for (int64_t vertex = 0; vertex <= last; ++vertex) {
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
