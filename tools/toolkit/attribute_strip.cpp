#include "toolkit/attribute_strip.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace meshjobs::tool {

namespace {

int WordsOf(int elementSize) { return (elementSize + 3) / 4; }

}  // namespace

AttributeStrip StripAttributes(Jobs& jobs, StripMethod method, const std::vector<uint32_t>& indices,
                               int64_t vertexCount, const std::vector<ElementArray>& attributes) {
    if (vertexCount < 0 || vertexCount > MAX_STRIP_VERTICES)
        throw std::invalid_argument(std::to_string(vertexCount) + " vertices do not fit 16-bit indices");
    // The jobs compact interleaved words: each vertex's elements side by
    // side, each padded to whole words.
    int32_t stride = 0;
    for (const ElementArray& a : attributes) {
        if (a.elementSize <= 0 || static_cast<int64_t>(a.bytes.size()) != vertexCount * a.elementSize)
            throw std::invalid_argument("an attribute does not hold one element per vertex");
        stride += WordsOf(a.elementSize);
    }
    if (stride == 0) stride = 1;  // nothing but indices: compact a placeholder word
    std::vector<uint32_t> words(static_cast<size_t>(vertexCount) * stride, 0u);
    for (int64_t v = 0; v < vertexCount; ++v) {
        int32_t offset = 0;
        for (const ElementArray& a : attributes) {
            std::memcpy(&words[v * stride + offset], &a.bytes[v * a.elementSize], a.elementSize);
            offset += WordsOf(a.elementSize);
        }
    }
    std::vector<uint16_t> narrow(indices.size());
    for (size_t i = 0; i < indices.size(); ++i) {
        if (indices[i] >= static_cast<uint64_t>(vertexCount))
            throw std::invalid_argument("index " + std::to_string(i) + " names vertex " + std::to_string(indices[i]) +
                                        " of " + std::to_string(vertexCount));
        narrow[i] = static_cast<uint16_t>(indices[i]);
    }

    const StripResult strip = StripVertices(jobs, method, narrow, words, stride);

    AttributeStrip result;
    result.verticesBefore = strip.verticesBefore;
    result.verticesAfter = strip.verticesAfter;
    result.newIndex = strip.newIndex;
    result.indices.assign(narrow.begin(), narrow.end());
    result.attributes.reserve(attributes.size());
    int32_t offset = 0;
    for (const ElementArray& a : attributes) {
        ElementArray kept{a.elementSize, std::vector<uint8_t>(static_cast<size_t>(strip.verticesAfter) * a.elementSize)};
        for (int32_t v = 0; v < strip.verticesAfter; ++v)
            std::memcpy(&kept.bytes[static_cast<size_t>(v) * a.elementSize], &words[static_cast<size_t>(v) * stride + offset],
                        a.elementSize);
        offset += WordsOf(a.elementSize);
        result.attributes.push_back(std::move(kept));
    }
    return result;
}

}  // namespace meshjobs::tool
