// Layouts as the tool's users write them, and as the conversion job must get
// them: every form the tool accepts is one the job stores completely.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "toolkit/convert.h"
#include "toolkit/layout.h"

namespace meshjobs::tool {
namespace {

MeshAttributes MeshWith(bool normals, bool tangents, bool colors, int uvSets, int uvComponents = 2) {
    MeshAttributes mesh;
    mesh.vertexCount = 2;
    mesh.positions.assign(6, 0.0f);
    if (normals) mesh.normals.assign(6, 0.0f);
    if (tangents) mesh.tangents.assign(8, 0.0f);
    if (colors) mesh.colors.assign(8, 0.0f);
    for (int k = 0; k < uvSets; ++k) {
        mesh.uvComponents[k] = uvComponents;
        mesh.uvs[k].assign(2 * uvComponents, 0.0f);
    }
    return mesh;
}

TEST(ToolLayout, TextFormPacksSlotsInOrderWithinEachStream) {
    const Layout layout = ParseLayout("position:f32x3, normal:snorm8x4, color:unorm8x4@1, uv0:f16x2@1, uv1:f32x2@1");
    const MeshLayout fitted = FitLayout(layout, MeshWith(true, false, true, 2));

    EXPECT_EQ(fitted.destination[POSITION], PackDescriptor(3, FLOAT32, 0, 0));
    EXPECT_EQ(fitted.destination[NORMAL], PackDescriptor(4, SNORM8, 12, 0));
    EXPECT_EQ(fitted.destination[COLOR], PackDescriptor(4, UNORM8, 0, 1));
    EXPECT_EQ(fitted.destination[UV0], PackDescriptor(2, FLOAT16, 4, 1));
    EXPECT_EQ(fitted.destination[UV0 + 1], PackDescriptor(2, FLOAT32, 8, 1));
    EXPECT_EQ(fitted.destinationStrides[0], 16);
    EXPECT_EQ(fitted.destinationStrides[1], 16);
    EXPECT_EQ(UnpackDescriptor(fitted.destination[UV0]).stream, 1);
}

TEST(ToolLayout, PresetsAsDocumented) {
    const MeshLayout compact = FitLayout(ParseLayout("compact"), MeshWith(true, true, true, 1));
    EXPECT_EQ(compact.destination[NORMAL], PackDescriptor(4, SNORM8, 12, 0));
    EXPECT_EQ(compact.destination[TANGENT], PackDescriptor(4, SNORM8, 16, 0));
    EXPECT_EQ(compact.destination[COLOR], PackDescriptor(4, UNORM8, 0, 1));
    EXPECT_EQ(compact.destination[UV0], PackDescriptor(2, FLOAT16, 4, 1));
    EXPECT_EQ(compact.destinationStrides[0], 20);
    EXPECT_EQ(compact.destinationStrides[1], 8);

    // Full keeps a UV set's own component count.
    const MeshLayout full = FitLayout(ParseLayout("FULL"), MeshWith(true, true, true, 1, 3));
    EXPECT_EQ(full.destination[UV0], PackDescriptor(3, FLOAT32, 16, 1));
    EXPECT_EQ(full.destinationStrides[0], 40);
    EXPECT_EQ(full.destinationStrides[1], 28);
}

TEST(ToolLayout, SlotsOnlyOneSideHasAreLeftOutOfBothSides) {
    // A source normal with no destination normal would make the job write
    // its 8-byte marker over the position, so the source must not name it.
    const MeshLayout noNormal = FitLayout(ParseLayout("position:f32x3,uv0:f16x2"), MeshWith(true, true, false, 1));
    EXPECT_EQ(noNormal.source[NORMAL], 0u);
    EXPECT_EQ(noNormal.source[TANGENT], 0u);
    EXPECT_NE(noNormal.source[UV0], 0u);

    // And a slot the mesh lacks is not in the destination either.
    const MeshLayout noColor = FitLayout(ParseLayout("compact"), MeshWith(false, false, false, 1));
    EXPECT_EQ(noColor.destination[NORMAL], 0u);
    EXPECT_EQ(noColor.destination[COLOR], 0u);
    EXPECT_EQ(noColor.destination[UV0 + 1], 0u);
    EXPECT_EQ(noColor.destinationStrides[0], 12);
}

TEST(ToolLayout, SourceUvSetsMatchTheDestinationComponentCount) {
    // The job stores as many components as the source descriptor has.
    const MeshLayout fitted = FitLayout(ParseLayout("uv0:unorm8x4"), MeshWith(false, false, false, 1, 2));
    EXPECT_EQ(UnpackDescriptor(fitted.source[UV0]).dimension, 4);
    EXPECT_EQ(UnpackDescriptor(fitted.source[UV0]).format, FLOAT32);
}

TEST(ToolLayout, RefusesFormsTheJobWouldStoreIncompletelyOrNotAtAll) {
    for (const char* text : {
             "normal:f32x4",     // job writes its marker instead
             "normal:f16x3",     // 6 bytes: undefined
             "normal:unorm8x4",  // stored signed, so the manifest would lie
             "tangent:f32x3",    // tangents are always four components
             "color:f16x3",      // 6 bytes: nothing written
             "color:unorm8x2",   // 2 bytes: nothing written
             "uv0:unorm8x2",     // 2 bytes: nothing written
             "uv0:f16x3",        // 6 bytes: nothing written
             "position:f16x3",   // always Float32x3
             "position:f32x3@1", // always stream 0
         }) {
        EXPECT_THROW(ParseLayout(text), std::invalid_argument) << text;
    }
}

TEST(ToolLayout, RefusesMalformedText) {
    for (const char* text : {"", "normal", "bogus:f32x3", "normal:f64x3", "uv0:f16", "uv0:f16x5", "uv0:f16x2@2",
                             "uv0:f16x2,uv0:f32x2", "uv8:f16x2"}) {
        EXPECT_THROW(ParseLayout(text), std::invalid_argument) << text;
    }
}

TEST(ToolLayout, TextFormRoundTrips) {
    const std::string text = "position:f32x3@0,normal:f16x4@0,tangent:snorm8x4@1,uv3:f32x1@1";
    EXPECT_EQ(LayoutText(ParseLayout(text)), text);
}

TEST(ToolMatrix, ReadsSixteenNumbersColumnByColumn) {
    const Float4x4 m = ParseMatrix("1 0 0 0, 0 2 0 0, 0 0 3 0, 10 20 30 1");
    EXPECT_EQ(m.columns[1][1], 2.0f);
    EXPECT_EQ(m.columns[3][0], 10.0f);
    EXPECT_EQ(m.columns[3][2], 30.0f);
    EXPECT_THROW(ParseMatrix("1 0 0 0"), std::invalid_argument);
    EXPECT_THROW(ParseMatrix("1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 x"), std::invalid_argument);
    EXPECT_THROW(ParseMatrix("1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 inf"), std::invalid_argument);
}

TEST(ToolMatrix, NormalMatrixIsTheInverseSoTheJobAppliesItsTranspose) {
    Float4x4 m = ParseMatrix("2 0 0 0, 1 4 0 0, 0 0 8 0, 5 5 5 1");
    const Float4x4 n = NormalMatrixFor(m);
    // n * m (upper 3x3) is the identity, in the record's column-major form.
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            float sum = 0;
            for (int k = 0; k < 3; ++k) sum += n.columns[k][r] * m.columns[c][k];
            EXPECT_NEAR(sum, r == c ? 1.0f : 0.0f, 1e-6f) << r << "," << c;
        }
    EXPECT_THROW(NormalMatrixFor(ParseMatrix("1 0 0 0, 2 0 0 0, 0 0 1 0, 0 0 0 1")), std::invalid_argument);
}

}  // namespace
}  // namespace meshjobs::tool
