// Buffer views compressed with EXT_meshopt_compression (or
// KHR_meshopt_compression, the same format) decoded on reading, so that the
// rest of the tool sees plain views and writes them uncompressed.
#pragma once

#include "toolkit/gltf_document.h"

namespace meshjobs::tool {

// A buffer marked as the compression's fallback: it may hold no data, since
// every view into it is compressed elsewhere.
bool IsMeshoptFallback(const GltfJson& buffer);

// Decodes every compressed buffer view into a new buffer and points the view
// at it, the extension gone from the view and from extensionsUsed and
// extensionsRequired; fallback buffers nothing refers to any more are
// dropped. Adds a line to document.decoded when anything was. Throws
// std::runtime_error naming the extension, the view and what is wrong.
void DecodeMeshoptViews(GltfDocument& document);

}  // namespace meshjobs::tool
