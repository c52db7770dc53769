// `strip` on a glTF 2.0 document edited in place: per indexed triangle-list
// primitive, the vertices no triangle names are removed from every attribute
// and morph target with one map; everything else is left as it was.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "toolkit/gltf_document.h"
#include "toolkit/jobs.h"

namespace meshjobs::tool {

struct GltfStrip {
    int64_t primitives = 0;
    int64_t verticesBefore = 0;  // over the primitives the jobs ran on
    int64_t verticesAfter = 0;
    std::vector<std::string> notes;  // primitives passed through, and why
};

// "points", "triangles", ... for a primitive's mode.
const char* ModeName(int64_t mode);

// Strips every indexed triangle list of a document as ReadGltf gives it
// (compressed data decoded); throws std::runtime_error.
GltfStrip StripGltf(GltfDocument& document, Jobs& jobs, StripMethod method);

// The position triples of every triangle of every indexed triangle-list
// primitive, in order: what a strip must leave exactly as it was.
std::vector<std::vector<float>> TrianglePositions(const GltfDocument& document);

// The same triangles as one 64-bit digest per primitive, of every position
// bit and the count: what a file's check compares before and after, without
// holding every triangle's positions. Each value is folded in by a step that
// maps distinct states to distinct states, so a digest changes whenever a
// single value does, and otherwise but for a chance of about 2^-64.
std::vector<uint64_t> TriangleDigests(const GltfDocument& document);

}  // namespace meshjobs::tool
