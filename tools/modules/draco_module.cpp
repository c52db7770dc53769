// libmeshjobs_draco.so: the Draco decoder, loaded by the tool only for a
// glTF file with KHR_draco_mesh_compression (toolkit/modules.h). It decodes
// and hands back plain numbers; what they become in the document is the
// tool's business (toolkit/gltf_draco.cpp).
#include <draco/compression/decode.h>
#include <draco/mesh/mesh.h>

#include <memory>

#include "toolkit/modules.h"

namespace meshjobs::tool {

namespace {

// The largest value of a decoded integer type: a normalized one stands for
// value / that.
double NormalizedScale(draco::DataType type) {
    switch (type) {
        case draco::DT_INT8: return 127;
        case draco::DT_UINT8: return 255;
        case draco::DT_INT16: return 32767;
        case draco::DT_UINT16: return 65535;
        case draco::DT_INT32: return 2147483647.0;
        default: return 4294967295.0;
    }
}

DracoAttribute AttributeOf(const draco::PointAttribute& attribute, uint32_t points) {
    DracoAttribute decoded;
    decoded.id = attribute.unique_id();
    decoded.components = attribute.num_components();
    const draco::DataType type = attribute.data_type();
    decoded.isFloat = type == draco::DT_FLOAT32 || type == draco::DT_FLOAT64;
    decoded.knownType = decoded.isFloat || (type >= draco::DT_INT8 && type <= draco::DT_BOOL);
    if (!decoded.knownType) return decoded;
    decoded.normalizedScale = !decoded.isFloat && attribute.normalized() ? NormalizedScale(type) : 0;
    const size_t components = static_cast<size_t>(decoded.components);
    decoded.values.resize(static_cast<size_t>(points) * components);
    std::vector<int64_t> integers(components);
    for (uint32_t p = 0; p < points; ++p) {
        double* values = decoded.values.data() + p * components;
        const draco::AttributeValueIndex entry = attribute.mapped_index(draco::PointIndex(p));
        bool read = entry.value() < attribute.size();
        if (read && decoded.isFloat) read = attribute.ConvertValue<double>(entry, static_cast<int8_t>(components), values);
        if (read && !decoded.isFloat) {
            read = attribute.ConvertValue<int64_t>(entry, static_cast<int8_t>(components), integers.data());
            for (size_t c = 0; c < components; ++c) values[c] = static_cast<double>(integers[c]);
        }
        if (!read) {
            decoded.firstMissing = p;
            decoded.values.resize(p * components);
            break;
        }
    }
    return decoded;
}

void Decode(const uint8_t* bytes, size_t size, bool triangles, DracoGeometry& geometry) {
    geometry = {};
    draco::DecoderBuffer data;
    data.Init(reinterpret_cast<const char*>(bytes), size);
    const auto type = draco::Decoder::GetEncodedGeometryType(&data);
    if (!type.ok()) {
        geometry.failure = type.status().error_msg_string();
        return;
    }
    if (triangles && type.value() != draco::TRIANGULAR_MESH) {
        geometry.status = DracoGeometry::NotTriangles;
        return;
    }
    draco::Decoder decoder;
    std::unique_ptr<draco::PointCloud> decoded;
    if (triangles) {
        auto mesh = decoder.DecodeMeshFromBuffer(&data);
        if (mesh.ok()) decoded = std::move(mesh).value();
        else geometry.failure = mesh.status().error_msg_string();
    } else {
        auto cloud = decoder.DecodePointCloudFromBuffer(&data);
        if (cloud.ok()) decoded = std::move(cloud).value();
        else geometry.failure = cloud.status().error_msg_string();
    }
    if (!decoded) return;
    geometry.status = DracoGeometry::Decoded;
    geometry.points = decoded->num_points();
    for (int32_t a = 0; a < decoded->num_attributes(); ++a)
        geometry.attributes.push_back(AttributeOf(*decoded->attribute(a), geometry.points));
    if (!triangles) return;
    const auto& mesh = static_cast<const draco::Mesh&>(*decoded);
    geometry.corners.reserve(static_cast<size_t>(mesh.num_faces()) * 3);
    for (uint32_t f = 0; f < mesh.num_faces(); ++f)
        for (const draco::PointIndex& corner : mesh.face(draco::FaceIndex(f))) geometry.corners.push_back(corner.value());
}

const DracoFunctions FUNCTIONS = {MESHJOBS_VERSION, Decode};

}  // namespace

}  // namespace meshjobs::tool

extern "C" __attribute__((visibility("default"))) const meshjobs::tool::DracoFunctions* meshjobs_draco_functions() {
    return &meshjobs::tool::FUNCTIONS;
}
