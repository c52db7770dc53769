// Removing the vertices no triangle uses from attributes held as separate
// arrays of raw elements, as glTF keeps them: every attribute is compacted
// with the one map the jobs compute, whatever its type, bytes unchanged.
#pragma once

#include <cstdint>
#include <vector>

#include "toolkit/jobs.h"

namespace meshjobs::tool {

// One attribute's elements, vertex v at bytes [v * elementSize, (v + 1) * elementSize).
struct ElementArray {
    int elementSize = 0;
    std::vector<uint8_t> bytes;
};

struct AttributeStrip {
    int32_t verticesBefore = 0;
    int32_t verticesAfter = 0;
    std::vector<uint32_t> indices;        // rewritten
    std::vector<ElementArray> attributes;  // compacted, in the order given
    std::vector<int32_t> newIndex;        // per old vertex; -1 where removed
};

// `vertexCount` vertices (at most 65,536) named by `indices`; every array
// holds vertexCount elements. Throws std::invalid_argument when they do not,
// and what the jobs throw when an index names no vertex.
AttributeStrip StripAttributes(Jobs& jobs, StripMethod method, const std::vector<uint32_t>& indices,
                               int64_t vertexCount, const std::vector<ElementArray>& attributes);

}  // namespace meshjobs::tool
