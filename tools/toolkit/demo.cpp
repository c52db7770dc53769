#include "toolkit/demo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <numbers>
#include <stdexcept>

#include "toolkit/text.h"

namespace meshjobs::tool {

MeshAttributes MakeDemoSphere(int rings, int segments, int unusedEvery) {
    MeshAttributes m;
    m.name = "sphere";
    m.uvComponents = {2, 2, 0, 0, 0, 0, 0, 0};
    const double pi = std::numbers::pi;
    std::vector<int32_t> vertexOf;  // grid point -> vertex index
    auto add = [&](double theta, double phi, double u, double v, bool used) {
        const double x = std::sin(theta) * std::cos(phi), y = std::cos(theta), z = std::sin(theta) * std::sin(phi);
        const double scale = used ? 1.0 : 1.5;
        for (double c : {x, y, z}) m.positions.push_back(static_cast<float>(scale * c));
        for (double c : {x, y, z}) m.normals.push_back(static_cast<float>(c));
        for (double c : {-std::sin(phi), 0.0, std::cos(phi), 1.0}) m.tangents.push_back(static_cast<float>(c));
        for (double c : {0.5 + 0.5 * x, 0.5 + 0.5 * y, 0.5 + 0.5 * z, used ? 1.0 : 0.25})
            m.colors.push_back(static_cast<float>(c));
        for (double c : {u, v}) m.uvs[0].push_back(static_cast<float>(c));
        for (double c : {2 * u, 0.5 * v}) m.uvs[1].push_back(static_cast<float>(c));
        return m.vertexCount++;
    };
    int sinceUnused = 0;
    for (int r = 0; r <= rings; ++r)
        for (int s = 0; s <= segments; ++s) {
            const double u = double(s) / segments, v = double(r) / rings;
            vertexOf.push_back(add(v * pi, u * 2 * pi, u, v, true));
            if (unusedEvery > 0 && ++sinceUnused == unusedEvery) {
                add(v * pi, u * 2 * pi + 0.01, u, v, false);
                sinceUnused = 0;
            }
        }
    auto at = [&](int r, int s) { return static_cast<uint32_t>(vertexOf[r * (segments + 1) + s]); };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            // The triangles touching a pole in two corners have no area.
            if (r != 0) m.indices.insert(m.indices.end(), {at(r, s), at(r + 1, s), at(r, s + 1)});
            if (r != rings - 1) m.indices.insert(m.indices.end(), {at(r, s + 1), at(r + 1, s), at(r + 1, s + 1)});
        }
    return m;
}

namespace {

// The demo mesh's attributes interleaved as the compaction job moves them.
const int DEMO_SLOTS[] = {POSITION, NORMAL, TANGENT, COLOR, UV0, UV0 + 1};

int32_t DemoStride(const MeshAttributes& m) {
    int32_t stride = 0;
    for (int slot : DEMO_SLOTS) stride += m.Components(slot);
    return stride;
}

std::vector<uint32_t> Interleave(const MeshAttributes& m) {
    std::vector<uint32_t> words;
    words.reserve(size_t(m.vertexCount) * DemoStride(m));
    for (int32_t v = 0; v < m.vertexCount; ++v)
        for (int slot : DEMO_SLOTS) {
            const int n = m.Components(slot);
            for (int c = 0; c < n; ++c) {
                uint32_t word;
                std::memcpy(&word, &m.Values(slot)[size_t(v) * n + c], 4);
                words.push_back(word);
            }
        }
    return words;
}

MeshAttributes Deinterleave(const MeshAttributes& shape, const std::vector<uint32_t>& words, int32_t vertexCount) {
    MeshAttributes m;
    m.name = shape.name;
    m.vertexCount = vertexCount;
    m.uvComponents = shape.uvComponents;
    size_t at = 0;
    for (int32_t v = 0; v < vertexCount; ++v)
        for (int slot : DEMO_SLOTS) {
            std::vector<float>& values = slot == POSITION ? m.positions
                                         : slot == NORMAL ? m.normals
                                         : slot == TANGENT ? m.tangents
                                         : slot == COLOR  ? m.colors
                                                          : m.uvs[slot - UV0];
            for (int c = 0; c < shape.Components(slot); ++c) {
                float value;
                std::memcpy(&value, &words[at++], 4);
                values.push_back(value);
            }
        }
    return m;
}

using Triangle = std::array<float, 9>;

std::vector<Triangle> PositionTriples(const MeshAttributes& m, const std::vector<uint32_t>& indices) {
    std::vector<Triangle> triangles(indices.size() / 3);
    for (size_t t = 0; t < triangles.size(); ++t)
        for (int corner = 0; corner < 3; ++corner)
            std::copy_n(&m.positions[size_t(indices[t * 3 + corner]) * 3], 3, &triangles[t][corner * 3]);
    return triangles;
}

void KeepBest(std::vector<JobTiming>& best, const std::vector<JobTiming>& run) {
    for (const JobTiming& t : run) {
        const auto same = std::find_if(best.begin(), best.end(), [&](const JobTiming& b) { return b.job == t.job; });
        if (same == best.end())
            best.push_back(t);
        else if (t.seconds < same->seconds)
            same->seconds = t.seconds;
    }
}

}  // namespace

DemoReport RunDemo(const host::Library& library, const DemoOptions& options) {
    const MeshAttributes sphere = MakeDemoSphere(options.rings, options.segments, options.unusedEvery);
    if (sphere.vertexCount > MAX_STRIP_VERTICES) throw std::invalid_argument("demo sphere too fine for 16-bit indices");
    Jobs jobs(library, options.workers);

    DemoReport report;
    report.vertices = sphere.vertexCount;
    report.indices = static_cast<int64_t>(sphere.indices.size());
    report.triangles = report.indices / 3;
    report.workers = jobs.workers();
    report.repeat = std::max(1, options.repeat);
    const std::vector<uint32_t> vertices = Interleave(sphere);
    const std::vector<uint16_t> indices(sphere.indices.begin(), sphere.indices.end());
    const int32_t stride = DemoStride(sphere);

    std::vector<uint16_t> stripped;
    std::vector<uint32_t> packed;
    for (int run = 0; run < report.repeat; ++run) {
        stripped = indices;
        packed = vertices;
        jobs.ClearTimings();
        try {
            StripVertices(jobs, StripMethod::Both, stripped, packed, stride);
        } catch (const std::exception& e) {
            report.failures.push_back(std::string("stripping: ") + e.what());
            return report;
        }
        KeepBest(report.timings, jobs.timings());
    }
    report.verticesAfter = static_cast<int32_t>(packed.size() / stride);
    {
        std::vector<bool> referenced(sphere.vertexCount, false);
        for (uint32_t i : sphere.indices) referenced[i] = true;
        report.unusedVertices = static_cast<int32_t>(std::count(referenced.begin(), referenced.end(), false));
    }

    MeshAttributes compacted = Deinterleave(sphere, packed, report.verticesAfter);
    compacted.indices.assign(stripped.begin(), stripped.end());
    std::vector<bool> referenced(compacted.vertexCount, false);
    for (uint32_t i : compacted.indices) referenced[i] = true;
    if (const auto left = std::count(referenced.begin(), referenced.end(), false); left != 0)
        report.failures.push_back(Grouped(left) + " unused vertices left after stripping");
    if (report.verticesAfter != report.vertices - report.unusedVertices)
        report.failures.push_back("stripping kept " + Grouped(report.verticesAfter) + " vertices, expected " +
                                  Grouped(report.vertices - report.unusedVertices));

    const auto before = PositionTriples(sphere, sphere.indices), after = PositionTriples(compacted, compacted.indices);
    for (size_t t = 0; t < before.size(); ++t) report.trianglesUnchanged += before[t] == after[t];
    if (report.trianglesUnchanged != report.triangles)
        report.failures.push_back(Grouped(report.triangles - report.trianglesUnchanged) +
                                  " triangles changed their positions");

    const Float4x4 identity = host::IdentityMatrix();
    ConvertedMesh converted;
    for (int run = 0; run < report.repeat; ++run) {
        jobs.ClearTimings();
        converted = ConvertMesh(jobs, compacted, CompactLayout(), identity);
        KeepBest(report.timings, jobs.timings());
    }
    report.conversion = VerifyConversion(converted, compacted, identity);
    for (const AttributeCheck& check : report.conversion) {
        if (!check.within)
            report.failures.push_back("converted " + SlotName(check.slot) + " off by up to " +
                                      std::to_string(check.largestError) + ", beyond its format's " +
                                      std::to_string(check.bound));
        if (check.skipped != 0 || check.compared == 0)
            report.failures.push_back("converted " + SlotName(check.slot) + " could not be compared everywhere");
    }
    return report;
}

namespace {

std::string Duration(double seconds) {
    char buffer[32];
    if (seconds < 1e-3)
        std::snprintf(buffer, sizeof buffer, "%.1f us", seconds * 1e6);
    else
        std::snprintf(buffer, sizeof buffer, "%.3f ms", seconds * 1e3);
    return buffer;
}

std::string Rate(int64_t items, double seconds) {
    char buffer[32];
    if (seconds <= 0) return "-";
    const double rate = items / seconds;
    if (rate >= 1e9)
        std::snprintf(buffer, sizeof buffer, "%.2f G/s", rate / 1e9);
    else
        std::snprintf(buffer, sizeof buffer, "%.1f M/s", rate / 1e6);
    return buffer;
}

std::string Pad(std::string s, size_t width, bool right = false) {
    if (s.size() >= width) return s;
    return right ? std::string(width - s.size(), ' ') + s : s + std::string(width - s.size(), ' ');
}

}  // namespace

void PrintDemo(const DemoReport& r, std::ostream& out) {
    out << "UV sphere: " << Grouped(r.vertices) << " vertices (" << Grouped(r.unusedVertices)
        << " used by no triangle), " << Grouped(r.indices) << " indices, " << Grouped(r.triangles)
        << " triangles; " << r.workers << (r.workers == 1 ? " worker" : " workers") << "\n\n";
    out << Pad("job", 26) << Pad("items", 10, true) << Pad("workers", 9, true) << Pad("time", 12, true)
        << Pad("throughput", 13, true) << "\n";
    for (const JobTiming& t : r.timings)
        out << Pad(JOB_NAMES[static_cast<int>(t.job)], 26) << Pad(Grouped(t.items), 10, true)
            << Pad(std::to_string(t.workers), 9, true) << Pad(Duration(t.seconds), 12, true)
            << Pad(Rate(t.items, t.seconds), 13, true) << "\n";
    out << "(items: indices, or vertices for compaction and conversion; time: best of " << r.repeat << " runs)\n\n";

    out << "stripped: " << Grouped(r.vertices) << " -> " << Grouped(r.verticesAfter) << " vertices, "
        << Grouped(r.trianglesUnchanged) << " of " << Grouped(r.triangles) << " triangles unchanged\n";
    out << "converted to the compact layout:\n";
    for (const AttributeCheck& c : r.conversion)
        out << "  " << Pad(SlotName(c.slot), 9) << Pad(FormatName(c.format) + "x" + std::to_string(c.dimension), 10)
            << " largest error " << Pad(Number(c.largestError), 9) << " bound " << Number(c.bound)
            << (c.within ? "" : "  FAILED") << "\n";
    if (r.ok()) {
        out << "verified: no unused vertex left, triangles unchanged, conversion within quantisation error\n";
    } else {
        for (const std::string& failure : r.failures) out << "FAILED: " << failure << "\n";
    }
}

}  // namespace meshjobs::tool
