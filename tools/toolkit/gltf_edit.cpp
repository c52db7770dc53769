// Edits to a glTF document: new data appended, accessors nothing uses dropped.
#include <algorithm>
#include <set>
#include <stdexcept>

#include "toolkit/gltf_accessors.h"
#include "toolkit/gltf_document.h"

namespace meshjobs::tool {

int AddBufferView(GltfDocument& document, std::vector<uint8_t> bytes, int byteStride, std::optional<int> target) {
    if (byteStride != 0 && (byteStride < 4 || byteStride > 252 || byteStride % 4 != 0))
        throw std::invalid_argument("byteStride " + std::to_string(byteStride) + " is not a multiple of 4 in [4, 252]");
    GltfJson& json = document.json;
    if (!document.addedBuffer) {
        document.addedBuffer = document.buffers.size();
        document.buffers.emplace_back();
        json["buffers"].push_back({{"byteLength", 0}});
    }
    std::vector<uint8_t>& buffer = document.buffers[*document.addedBuffer];
    buffer.resize((buffer.size() + 3) / 4 * 4, 0);  // every view starts 4-byte aligned
    GltfJson view = {{"buffer", *document.addedBuffer}, {"byteOffset", buffer.size()}, {"byteLength", bytes.size()}};
    if (byteStride != 0) view["byteStride"] = byteStride;
    if (target) view["target"] = *target;
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    json["buffers"][*document.addedBuffer]["byteLength"] = buffer.size();
    json["bufferViews"].push_back(std::move(view));
    return static_cast<int>(json["bufferViews"].size() - 1);
}

int AddAccessor(GltfDocument& document, GltfJson accessor) {
    GltfJson& accessors = document.json["accessors"];
    accessors.push_back(std::move(accessor));
    const int index = static_cast<int>(accessors.size() - 1);
    try {
        CheckAccessor(document, index);
    } catch (...) {
        accessors.erase(accessors.end() - 1);
        throw;
    }
    return index;
}

namespace {

struct AccessorReference {
    GltfJson* value;
    bool certain;  // outside any "extensions" or "extras"
};

bool IsIndex(const GltfJson& value) {
    return value.is_number_unsigned() || (value.is_number_integer() && value.get<int64_t>() >= 0);
}

// Every number that may name an accessor. valuesAreReferences: inside
// "attributes" or a morph target, where every member names one.
void FindAccessorReferences(GltfJson& node, bool valuesAreReferences, bool certain,
                            std::vector<AccessorReference>& found) {
    static const std::set<std::string> NAMES = {"accessor", "indices", "inverseBindMatrices", "input", "output"};
    if (node.is_array()) {
        for (GltfJson& item : node) FindAccessorReferences(item, valuesAreReferences, certain, found);
        return;
    }
    if (!node.is_object()) return;
    for (auto& [key, value] : node.items()) {
        if (IsIndex(value)) {
            if (valuesAreReferences || NAMES.count(key)) found.push_back({&value, certain});
        } else if (value.is_structured()) {
            FindAccessorReferences(value, key == "attributes" || key == "targets",
                                   certain && key != "extensions" && key != "extras", found);
        }
    }
}

}  // namespace

int RemoveUnusedAccessors(GltfDocument& document) {
    GltfJson& json = document.json;
    if (!json.contains("accessors") || !json["accessors"].is_array()) return 0;
    const uint64_t count = json["accessors"].size();
    std::vector<AccessorReference> references;
    for (auto& [key, value] : json.items())
        if (key != "accessors" && value.is_structured())
            FindAccessorReferences(value, false, key != "extensions" && key != "extras", references);

    std::vector<bool> used(count, false);
    uint64_t keepBelow = 0;  // accessors under this stay: a number we cannot read may name them
    for (const AccessorReference& reference : references) {
        const uint64_t value = reference.value->get<uint64_t>();
        if (value < count) used[value] = true;
        if (!reference.certain || value >= count) keepBelow = std::max(keepBelow, value + 1);
    }
    std::vector<int64_t> renumbered(count, -1);
    GltfJson kept = GltfJson::array();
    for (uint64_t a = 0; a < count; ++a) {
        if (!used[a] && a >= keepBelow) continue;
        renumbered[a] = static_cast<int64_t>(kept.size());
        kept.push_back(std::move(json["accessors"][a]));
    }
    for (const AccessorReference& reference : references) {
        const uint64_t value = reference.value->get<uint64_t>();
        if (value < count) *reference.value = renumbered[value];
    }
    const int removed = static_cast<int>(count - kept.size());
    if (kept.empty())
        json.erase("accessors");  // an empty array is not allowed
    else
        json["accessors"] = std::move(kept);
    return removed;
}

}  // namespace meshjobs::tool
