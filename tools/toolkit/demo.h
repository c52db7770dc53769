// The built-in mesh and the demo that runs every job on it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "toolkit/convert.h"
#include "toolkit/jobs.h"

namespace meshjobs::tool {

// A UV sphere with normals, tangents, a color and two UV sets, with one
// vertex that no triangle uses after every `unusedEvery` used ones.
MeshAttributes MakeDemoSphere(int rings, int segments, int unusedEvery);

struct DemoOptions {
    int workers = 1;
    int rings = 180;
    int segments = 320;
    int unusedEvery = 50;
    int repeat = 5;  // each job's time is the best of this many runs
};

struct DemoReport {
    int32_t vertices = 0;
    int32_t unusedVertices = 0;
    int64_t indices = 0;
    int workers = 0;
    int repeat = 0;
    std::vector<JobTiming> timings;  // best run of each job, in pipeline order
    int32_t verticesAfter = 0;
    int64_t trianglesUnchanged = 0;
    int64_t triangles = 0;
    std::vector<AttributeCheck> conversion;
    std::vector<std::string> failures;  // empty when everything verified

    bool ok() const { return failures.empty(); }
};

DemoReport RunDemo(const host::Library& library, const DemoOptions& options);
void PrintDemo(const DemoReport& report, std::ostream& out);

}  // namespace meshjobs::tool
