// Shared by the tests: the built library, loaded once per process through the
// host emulator and bound afresh before every test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::testing {

inline host::Library& TestLibrary() {
    static host::Library library = host::Library::Load(MESHJOBS_LIBRARY_FILE);
    return library;
}

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override { TestLibrary().Initialize(); }
    void TearDown() override { TestLibrary().Initialize(); }
    host::Library& library() { return TestLibrary(); }
};

// Runs `run`, which must raise a JobException, and hands it back.
inline host::JobException ExpectJobException(const std::function<void()>& run) {
    try {
        run();
    } catch (const host::JobException& exception) {
        return exception;
    }
    ADD_FAILURE() << "the job raised nothing";
    return host::JobException("(none)", "(none)");
}

// The buffers and cells of a marking record.
struct MarkingBuffers {
    host::SafetyCell usedCell, indicesCell, highestCell;
    std::vector<int32_t> used;
    std::vector<uint16_t> indices;
    int32_t highest = -1;

    MarkingBuffers(std::vector<int32_t> initialFlags, std::vector<uint16_t> indexValues)
        : used(std::move(initialFlags)), indices(std::move(indexValues)) {}
    MarkUsedVerticesRecord Record() {
        return {host::MakeView(used.data(), int32_t(used.size()), usedCell),
                host::MakeView(indices.data(), int32_t(indices.size()), indicesCell),
                host::MakeValueRef(&highest, highestCell)};
    }
};

// The buffers and cells of a counting or a remapping record; aggregates, so a
// test writes Counting{{}, {}, counts, indices}.
struct CountingBuffers {
    host::SafetyCell countsCell, indicesCell;
    std::vector<int32_t> counts;
    std::vector<uint16_t> indices;
    CountVertexReferencesRecord Record() {
        return {host::MakeView(counts.data(), int32_t(counts.size()), countsCell),
                host::MakeView(indices.data(), int32_t(indices.size()), indicesCell)};
    }
};

struct RemappingBuffers {
    host::SafetyCell indicesCell, remapCell;
    std::vector<uint16_t> indices;
    std::vector<int32_t> remap;
    RemapIndicesRecord Record() {
        return {host::MakeView(indices.data(), int32_t(indices.size()), indicesCell),
                host::MakeView(remap.data(), int32_t(remap.size()), remapCell)};
    }
};

inline constexpr char INDEX_EXCEPTION[] = "System.IndexOutOfRangeException";
inline constexpr char NULL_EXCEPTION[] = "System.ArgumentNullException";
inline constexpr char LENGTH_MESSAGE[] = "Index {0} is out of range of '{1}' Length.";
inline constexpr char RESTRICTED_MESSAGE[] =
    "Index {0} is out of restricted IJobParallelFor range [{1}...{2}] in ReadWriteBuffer.\n";
inline constexpr char CONTAINER_MESSAGE[] = "Index {0} is out of range in container of '{1}' Length.";

}  // namespace meshjobs::testing
