// Primitives compressed with KHR_draco_mesh_compression decoded on reading,
// so that the rest of the tool sees ordinary indexed primitives and writes
// them uncompressed. The decoder itself is the Draco module
// (toolkit/modules.h), loaded only when a file has such a primitive.
#pragma once

#include "toolkit/gltf_document.h"

namespace meshjobs::tool {

// Decodes every compressed primitive (triangles or points): each of its
// compressed attributes, and its indices, becomes a new accessor holding the
// decoded values in the componentType, type and normalized its accessor
// declares (min and max worked out afresh), in the decoder's vertex order.
// The extension goes from the primitives and from extensionsUsed and
// extensionsRequired, and accessors nothing uses any more are dropped. Adds
// a line to document.decoded when anything was. Throws std::runtime_error
// naming the extension, the primitive and what is wrong.
void DecodeDracoPrimitives(GltfDocument& document);

}  // namespace meshjobs::tool
