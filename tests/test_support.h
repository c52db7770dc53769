// Shared by the tests: the built library, loaded once per process through the
// host emulator and bound afresh before every test, and the host's record
// builders.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "meshjobs/host.h"
#include "meshjobs/job_records.h"

namespace meshjobs::testing {

using host::CompactionBuffers;
using host::ConversionBuffers;
using host::CountingBuffers;
using host::JobBuffer;
using host::JobValue;
using host::MarkingBuffers;
using host::RemappingBuffers;

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

inline constexpr char INDEX_EXCEPTION[] = "System.IndexOutOfRangeException";
inline constexpr char NULL_EXCEPTION[] = "System.ArgumentNullException";
inline constexpr char LENGTH_MESSAGE[] = "Index {0} is out of range of '{1}' Length.";
inline constexpr char RESTRICTED_MESSAGE[] =
    "Index {0} is out of restricted IJobParallelFor range [{1}...{2}] in ReadWriteBuffer.\n";
inline constexpr char CONTAINER_MESSAGE[] = "Index {0} is out of range in container of '{1}' Length.";

}  // namespace meshjobs::testing
