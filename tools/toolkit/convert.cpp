#include "toolkit/convert.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace meshjobs::tool {

int MeshAttributes::Components(int slot) const {
    switch (slot) {
        case POSITION: return 3;
        case NORMAL: return normals.empty() ? 0 : 3;
        case TANGENT: return tangents.empty() ? 0 : 4;
        case COLOR: return colors.empty() ? 0 : 4;
        default: return uvs[slot - UV0].empty() ? 0 : uvComponents[slot - UV0];
    }
}

const std::vector<float>& MeshAttributes::Values(int slot) const {
    switch (slot) {
        case POSITION: return positions;
        case NORMAL: return normals;
        case TANGENT: return tangents;
        case COLOR: return colors;
        default: return uvs[slot - UV0];
    }
}

namespace {

// The source side is ours to choose: all Float32, positions, normals and
// tangents in stream 0 (the job reads normals from stream 0 only), the rest
// in stream 1 so both source streams are exercised.
int SourceStream(int slot) { return slot <= TANGENT ? 0 : 1; }

int SourceDimension(int slot, int destinationDimension) {
    switch (slot) {
        case POSITION:
        case NORMAL: return 3;
        case TANGENT:
        case COLOR: return 4;
        default: return destinationDimension;  // the job stores as many components as the source has
    }
}

uint8_t CheckedOffset(int32_t offset, int slot) {
    if (offset > 255)
        throw std::invalid_argument("layout too wide: " + SlotName(slot) + " would start past byte 255 of its vertex");
    return static_cast<uint8_t>(offset);
}

}  // namespace

MeshLayout FitLayout(const Layout& layout, const MeshAttributes& mesh) {
    MeshLayout fitted;
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        const auto& requested = slot == POSITION ? std::optional(AttributeFormat{FLOAT32, 3, 0}) : layout.slots[slot];
        const int present = mesh.Components(slot);
        if (!requested || present == 0) continue;
        AttributeFormat format = *requested;
        if (format.dimension == 0) format.dimension = static_cast<uint8_t>(present);
        if (const std::string why = CheckAttributeFormat(slot, format); !why.empty())
            throw std::invalid_argument(why + " (the mesh has " + std::to_string(present) + " components)");

        int32_t& destinationStride = fitted.destinationStrides[format.stream];
        fitted.destination[slot] = PackDescriptor(format.dimension, format.format, CheckedOffset(destinationStride, slot),
                                                  format.stream);
        destinationStride += format.dimension * ComponentSize(format.format);

        const int stream = SourceStream(slot);
        const int dimension = SourceDimension(slot, format.dimension);
        int32_t& sourceStride = fitted.sourceStrides[stream];
        fitted.source[slot] = PackDescriptor(static_cast<uint8_t>(dimension), FLOAT32, CheckedOffset(sourceStride, slot),
                                             static_cast<uint8_t>(stream));
        sourceStride += dimension * 4;
    }
    return fitted;
}

Float4x4 NormalMatrixFor(const Float4x4& m) {
    double a[3][3];  // a[row][column]
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a[r][c] = m.columns[c][r];
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-30)
        throw std::invalid_argument("the matrix has no inverse, so normals cannot be transformed");
    double inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
    // The job multiplies normals by the transpose of what it is given, so
    // handing it the inverse yields the inverse transpose.
    Float4x4 n = host::IdentityMatrix();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) n.columns[c][r] = static_cast<float>(inv[r][c]);
    return n;
}

namespace {

int32_t CheckedBytes(int64_t vertices, int32_t stride) {
    const int64_t bytes = vertices * stride;
    if (bytes > std::numeric_limits<int32_t>::max())
        throw std::invalid_argument("mesh too large for the conversion job (" + std::to_string(bytes) +
                                    " bytes in one stream)");
    return static_cast<int32_t>(bytes);
}

void PutFloat(std::vector<uint8_t>& bytes, size_t at, float value) { std::memcpy(&bytes[at], &value, 4); }

}  // namespace

ConvertedMesh ConvertMesh(Jobs& jobs, const MeshAttributes& mesh, const Layout& layout,
                          const Float4x4& positionMatrix) {
    ConvertedMesh converted;
    converted.layout = FitLayout(layout, mesh);
    converted.vertexCount = mesh.vertexCount;
    const MeshLayout& fitted = converted.layout;

    host::ConversionBuffers buffers;
    buffers.positionMatrix = positionMatrix;
    if (fitted.destination[NORMAL] != 0) buffers.normalMatrix = NormalMatrixFor(positionMatrix);
    for (int s = 0; s < 2; ++s) {
        buffers.sourceStreams[s].elements.assign(CheckedBytes(mesh.vertexCount, fitted.sourceStrides[s]), 0);
        buffers.destinationStreams[s].elements.assign(CheckedBytes(mesh.vertexCount, fitted.destinationStrides[s]), 0);
        buffers.sourceStrides[s] = fitted.sourceStrides[s];
        buffers.destinationStrides[s] = fitted.destinationStrides[s];
    }
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        buffers.sourceAttributes.elements[slot] = fitted.source[slot];
        buffers.destinationAttributes.elements[slot] = fitted.destination[slot];
        if (fitted.source[slot] == 0) continue;
        const Descriptor d = UnpackDescriptor(fitted.source[slot]);
        const int held = mesh.Components(slot);
        const std::vector<float>& values = mesh.Values(slot);
        std::vector<uint8_t>& stream = buffers.sourceStreams[d.stream].elements;
        const int32_t stride = fitted.sourceStrides[d.stream];
        for (int32_t v = 0; v < mesh.vertexCount; ++v)
            for (int c = 0; c < d.dimension && c < held; ++c)
                PutFloat(stream, size_t(v) * stride + d.offset + 4 * c, values[size_t(v) * held + c]);
    }

    const auto record = buffers.Record();
    jobs.Run(*record, mesh.vertexCount);
    for (int s = 0; s < 2; ++s) converted.streams[s] = std::move(buffers.destinationStreams[s].elements);
    return converted;
}

float HalfToFloat(uint16_t h) {
    const int sign = h >> 15, exponent = (h >> 10) & 0x1F, mantissa = h & 0x3FF;
    float magnitude;
    if (exponent == 0)
        magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    else if (exponent == 31)
        magnitude = mantissa ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
    else
        magnitude = std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
    return sign ? -magnitude : magnitude;
}

namespace {

double DecodeComponent(const uint8_t* at, uint8_t format) {
    switch (format) {
        case UNORM8: return at[0] / 255.0;
        case SNORM8: return std::max(-1.0, static_cast<int8_t>(at[0]) / 127.0);
        case FLOAT16: {
            uint16_t h;
            std::memcpy(&h, at, 2);
            return HalfToFloat(h);
        }
        default: {
            float f;
            std::memcpy(&f, at, 4);
            return f;
        }
    }
}

// Largest error the stored form may add to an exact value; `magnitude` bounds
// the terms single-precision arithmetic summed on the way.
double QuantisationBound(uint8_t format, double expected, double magnitude) {
    const double arithmetic = std::ldexp(magnitude, -21);
    switch (format) {
        case UNORM8: return 0.5 / 255 + 1e-6 + arithmetic;
        case SNORM8: return 0.5 / 127 + 1e-6 + arithmetic;
        case FLOAT16: return std::ldexp(std::fabs(expected), -11) + std::ldexp(1.0, -25) + arithmetic;
        default: return arithmetic + std::numeric_limits<float>::denorm_min();
    }
}

struct Expected {
    double values[4];
    double magnitude[4];
};

void Normalise(Expected& e) {
    // The job normalises in single precision: a direction whose squared
    // length leaves the normal float range has no defined unit form there,
    // so it is not compared (NaN).
    const float x = static_cast<float>(e.values[0]), y = static_cast<float>(e.values[1]),
                z = static_cast<float>(e.values[2]);
    const float q = (x * x + y * y) + z * z;
    const bool defined = std::isnormal(q);
    const double length = std::sqrt(e.values[0] * e.values[0] + e.values[1] * e.values[1] + e.values[2] * e.values[2]);
    for (int c = 0; c < 3; ++c) {
        e.values[c] = defined ? e.values[c] / length : std::numeric_limits<double>::quiet_NaN();
        e.magnitude[c] = 1;
    }
}

}  // namespace

std::vector<AttributeCheck> VerifyConversion(const ConvertedMesh& converted, const MeshAttributes& mesh,
                                             const Float4x4& m) {
    const Float4x4 normalMatrix = converted.layout.destination[NORMAL] ? NormalMatrixFor(m) : host::IdentityMatrix();
    std::vector<AttributeCheck> checks;
    for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
        const uint32_t descriptor = converted.layout.destination[slot];
        if (descriptor == 0) continue;
        const Descriptor d = UnpackDescriptor(descriptor);
        const int held = mesh.Components(slot);
        const std::vector<float>& values = mesh.Values(slot);
        const int compared = slot == NORMAL || slot == POSITION ? 3 : d.dimension;
        const int32_t stride = converted.layout.destinationStrides[d.stream];
        const std::vector<uint8_t>& stream = converted.streams[d.stream];

        AttributeCheck check{slot, d.format, d.dimension};
        double worstBreak = 0, largestBound = QuantisationBound(d.format, 0, 0);
        for (int32_t v = 0; v < mesh.vertexCount; ++v) {
            double in[4] = {0, 0, 0, 0};
            for (int c = 0; c < held && c < 4; ++c) in[c] = values[size_t(v) * held + c];
            Expected e{};
            for (int c = 0; c < 4; ++c) {
                e.values[c] = in[c];
                e.magnitude[c] = std::fabs(in[c]);
            }
            if (slot == POSITION || slot == TANGENT) {
                for (int r = 0; r < 3; ++r) {
                    e.values[r] = slot == POSITION ? m.columns[3][r] : 0.0;
                    e.magnitude[r] = std::fabs(e.values[r]);
                    for (int c = 0; c < 3; ++c) {
                        e.values[r] += double(m.columns[c][r]) * in[c];
                        e.magnitude[r] += std::fabs(double(m.columns[c][r]) * in[c]);
                    }
                }
                if (slot == TANGENT && d.format == SNORM8) Normalise(e);
            } else if (slot == NORMAL) {
                for (int k = 0; k < 3; ++k) {
                    e.values[k] = e.magnitude[k] = 0;
                    for (int r = 0; r < 3; ++r) {
                        e.values[k] += in[r] * normalMatrix.columns[k][r];
                        e.magnitude[k] += std::fabs(in[r] * normalMatrix.columns[k][r]);
                    }
                }
                if (d.format == SNORM8) Normalise(e);
            }
            const uint8_t* base = stream.data() + size_t(v) * stride + d.offset;
            for (int c = 0; c < compared; ++c) {
                double want = e.values[c];
                if (!std::isfinite(want) || std::fabs(want) > std::numeric_limits<float>::max()) {
                    ++check.skipped;
                    continue;
                }
                if (d.format == UNORM8) want = std::clamp(want, 0.0, 1.0);
                if (d.format == SNORM8) want = std::clamp(want, -1.0, 1.0);
                const double got = DecodeComponent(base + c * ComponentSize(d.format), d.format);
                const double error = std::isnan(got) ? std::numeric_limits<double>::infinity() : std::fabs(got - want);
                const double bound = QuantisationBound(d.format, want, e.magnitude[c]);
                // Show the largest error with the allowance at its value,
                // unless some component broke its own: then the worst of those.
                const bool breaks = !(error <= bound);
                if (breaks ? error / bound > worstBreak : check.within && error > check.largestError) {
                    check.largestError = error;
                    check.bound = bound;
                    if (breaks) worstBreak = error / bound;
                }
                if (breaks) check.within = false;
                largestBound = std::max(largestBound, bound);
                ++check.compared;
            }
        }
        if (check.largestError == 0) check.bound = largestBound;
        checks.push_back(check);
    }
    return checks;
}

Float4x4 ParseMatrix(const std::string& text) {
    std::string spaced = text;
    for (char& c : spaced)
        if (c == ',' || c == ';' || c == '[' || c == ']') c = ' ';
    std::istringstream in(spaced);
    std::vector<float> numbers;
    std::string word;
    while (in >> word) {
        char* end = nullptr;
        const float value = std::strtof(word.c_str(), &end);
        if (end == word.c_str() || *end != '\0' || !std::isfinite(value))
            throw std::invalid_argument("matrix entry '" + word + "' is not a finite number");
        numbers.push_back(value);
    }
    if (numbers.size() != 16)
        throw std::invalid_argument("the matrix needs 16 numbers, column by column; got " +
                                    std::to_string(numbers.size()));
    Float4x4 m{};
    for (int i = 0; i < 16; ++i) m.columns[i / 4][i % 4] = numbers[i];
    return m;
}

namespace {

// Single precision values as the shortest decimal that reads back to the
// same float; whole numbers as integers.
nlohmann::ordered_json JsonFloat(float f) {
    if (std::isfinite(f) && f == std::nearbyint(f) && std::fabs(f) < 1e15f) return static_cast<int64_t>(f);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(f));
    return std::strtod(buffer, nullptr);
}

}  // namespace

ManifestEntry WriteConvertedMesh(StagedOutput& output, int meshIndex, const MeshAttributes& mesh,
                                 const ConvertedMesh& converted) {
    ManifestEntry entry;
    entry.name = mesh.name;
    entry.vertexCount = converted.vertexCount;
    entry.layout = converted.layout;
    entry.primitiveSize = mesh.primitiveSize;
    const std::string prefix = "mesh" + std::to_string(meshIndex);
    for (int s = 0; s < 2; ++s) {
        if (converted.layout.destinationStrides[s] == 0) continue;
        entry.streamFiles[s] = prefix + ".stream" + std::to_string(s) + ".bin";
        output.WriteFile(entry.streamFiles[s], converted.streams[s].data(), converted.streams[s].size());
    }
    if (!mesh.indices.empty()) {
        entry.indexFile = prefix + ".indices.bin";
        entry.indexCount = static_cast<int64_t>(mesh.indices.size());
        if (mesh.vertexCount <= MAX_STRIP_VERTICES) {
            const std::vector<uint16_t> narrow(mesh.indices.begin(), mesh.indices.end());
            entry.indexFormat = "UInt16";
            output.WriteFile(entry.indexFile, narrow.data(), narrow.size() * 2);
        } else {
            entry.indexFormat = "UInt32";
            output.WriteFile(entry.indexFile, mesh.indices.data(), mesh.indices.size() * 4);
        }
    }
    return entry;
}

std::string ManifestJson(const std::string& source, const Layout& layout, const Float4x4& m,
                         const std::vector<ManifestEntry>& meshes) {
    using Json = nlohmann::ordered_json;
    Json matrix = Json::array();
    for (int i = 0; i < 16; ++i) matrix.push_back(JsonFloat(m.columns[i / 4][i % 4]));
    Json entries = Json::array();
    for (const ManifestEntry& e : meshes) {
        Json streams = Json::array();
        for (int s = 0; s < 2; ++s)
            if (!e.streamFiles[s].empty())
                streams.push_back({{"stream", s}, {"file", e.streamFiles[s]}, {"stride", e.layout.destinationStrides[s]}});
        Json attributes = Json::array();
        for (int slot = 0; slot < ATTRIBUTE_SLOT_COUNT; ++slot) {
            const uint32_t descriptor = e.layout.destination[slot];
            if (descriptor == 0) continue;
            const Descriptor d = UnpackDescriptor(descriptor);
            attributes.push_back({{"slot", slot},
                                  {"attribute", SlotName(slot)},
                                  {"format", FormatName(d.format)},
                                  {"formatCode", int(d.format)},
                                  {"dimension", int(d.dimension)},
                                  {"offset", int(d.offset)},
                                  {"stream", int(d.stream)},
                                  {"stride", e.layout.destinationStrides[d.stream]},
                                  {"descriptor", descriptor}});
        }
        Json entry = {{"name", e.name}, {"vertexCount", e.vertexCount}, {"streams", streams}, {"attributes", attributes}};
        if (!e.indexFile.empty())
            entry["indices"] = {{"file", e.indexFile},
                                {"format", e.indexFormat},
                                {"count", e.indexCount},
                                {"primitiveSize", e.primitiveSize}};
        entries.push_back(std::move(entry));
    }
    const Json document = {{"source", source},
                           {"layout", layout.name},
                           {"layoutText", LayoutText(layout)},
                           {"positionMatrix", matrix},
                           {"meshes", entries}};
    // Names come from files and may hold any bytes: replace what is not UTF-8.
    return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace meshjobs::tool
