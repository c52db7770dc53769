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

// Throws std::runtime_error when the document still requires a compression
// extension (ReadGltf decodes them, so only a document built otherwise can):
// editing it would write it out invalid.
void RefuseUndecodable(const GltfJson& json);
// The undecodable compression a primitive's own extensions name, if any;
// its data then stays as it is.
const char* CompressionOf(const GltfJson& primitive);

// Throws std::runtime_error for what the document holds but the tool cannot
// write back soundly (compressed data it cannot decode).
GltfStrip StripGltf(GltfDocument& document, Jobs& jobs, StripMethod method);

// The position triples of every triangle of every indexed triangle-list
// primitive, in order: what a strip must leave exactly as it was.
std::vector<std::vector<float>> TrianglePositions(const GltfDocument& document);

}  // namespace meshjobs::tool
