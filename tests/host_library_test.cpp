// The host's loader, resolver and the checks it makes before running a job.
#include <stdlib.h>
#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>

#include "test_support.h"

namespace meshjobs::testing {
namespace {

namespace fs = std::filesystem;
using host::HostError;
using host::JobSystem;
using host::Library;

#if defined(_WIN32)
int ProcessId() { return _getpid(); }
void SetEnvironment(const char* name, const char* value) { _putenv_s(name, value); }
void UnsetEnvironment(const char* name) { _putenv_s(name, ""); }
// A real DLL without our exports.
std::string OtherLibrary() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(GetModuleHandleA("kernel32.dll"), path, MAX_PATH);
    return std::string(path, length);
}
#else
int ProcessId() { return ::getpid(); }
void SetEnvironment(const char* name, const char* value) { setenv(name, value, 1); }
void UnsetEnvironment(const char* name) { unsetenv(name); }
// A real shared library without our exports.
std::string OtherLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&std::terminate), &info) == 0) return {};
    return info.dli_fname;
}
#endif

// A scratch folder of its own per test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = fs::temp_directory_path() /
                ("meshjobs_host_" + std::string(test->name()) + "_" + std::to_string(ProcessId()));
        fs::create_directories(path_);
    }
    ~ScratchFolder() { fs::remove_all(path_); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::string LoadError(const std::string& path) {
    try {
        Library::Load(path);
    } catch (const HostError& error) {
        return error.what();
    }
    ADD_FAILURE() << "loading " << path << " succeeded";
    return {};
}

TEST(HostLoader, FailuresNameTheFileOrTheMissingExportOnOneLine) {
    ScratchFolder scratch;
    const std::string missing = (scratch / "absent.so").string();
    const std::string text = (scratch / "notes.so").string();
    std::ofstream(text) << "not a library\n";
    const std::string otherLibrary = OtherLibrary();
    ASSERT_FALSE(otherLibrary.empty());

    for (const std::string& path : {missing, text}) {
        const std::string message = LoadError(path);
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    const std::string message = LoadError(otherLibrary);
    EXPECT_NE(message.find(otherLibrary), std::string::npos) << message;
    EXPECT_NE(message.find("'burst.initialize'"), std::string::npos) << message;
}

TEST(HostLoader, FindsEveryExportOfTheBuiltLibrary) {
    const Library library = Library::Load(MESHJOBS_LIBRARY_FILE);
    EXPECT_NE(library.LibraryInitializer(), nullptr);
    for (int job = 0; job < JOB_COUNT; ++job) {
        const auto id = static_cast<JobId>(job);
        EXPECT_NE(library.Entry(id), nullptr) << JOB_NAMES[job];
        EXPECT_NE(library.JobInitializer(id), nullptr) << JOB_NAMES[job];
        EXPECT_NE(library.ExternalsInitializer(id), nullptr) << JOB_NAMES[job];
        EXPECT_NE(library.StaticsInitializer(id), nullptr) << JOB_NAMES[job];
    }
    EXPECT_EQ(library.Symbol("burst.initialize.nothing"), nullptr);
}

TEST(HostLoader, DefaultPathIsTheEnvironmentsOrTheLibraryBesideTheProgram) {
    const char* saved = getenv("MESHJOBS_LIBRARY");
    const std::string savedValue = saved ? saved : "";
    SetEnvironment("MESHJOBS_LIBRARY", "/somewhere/else.so");
    EXPECT_EQ(Library::DefaultPath(), "/somewhere/else.so");
    UnsetEnvironment("MESHJOBS_LIBRARY");
    // The build puts the tests and the library in one folder.
    EXPECT_TRUE(fs::equivalent(Library::DefaultPath(), MESHJOBS_LIBRARY_FILE)) << Library::DefaultPath();
    if (saved) SetEnvironment("MESHJOBS_LIBRARY", savedValue.c_str());
}

TEST(HostResolver, KnowsExactlyTheFiveHostFunctions) {
    std::set<void*> functions;
    for (const char* name : HOST_FUNCTION_NAMES) {
        void* function = host::Resolve(name);
        EXPECT_NE(function, nullptr) << name;
        functions.insert(function);
    }
    EXPECT_EQ(functions.size(), size_t(HOST_FUNCTION_COUNT));
    const std::string abort = HOST_FUNCTION_NAMES[0];
    for (const std::string& nearMiss : {abort + " ", abort.substr(1), std::string("BURST_ABORT"), std::string()})
        EXPECT_EQ(host::Resolve(nearMiss.c_str()), nullptr) << "'" << nearMiss << "'";
    EXPECT_EQ(host::Resolve(nullptr), nullptr);
}

// A copy of the file is an image of its own, never initialized by other tests.
TEST(HostLoader, JobsNeedTheLibraryInitializedFirst) {
    ScratchFolder scratch;
    const fs::path copy = scratch / "libmeshjobs_copy.so";
    fs::copy_file(MESHJOBS_LIBRARY_FILE, copy);
    const Library library = Library::Load(copy.string());
    JobSystem jobs(library, 2);
    CountingBuffers counting({0}, {0});
    EXPECT_THROW(jobs.Run(counting.Record(), 1), HostError);
    library.Initialize();
    jobs.Run(counting.Record(), 1);
    EXPECT_EQ(counting.counts.elements[0], 1);
}

class HostChecks : public LibraryTest {};

TEST_F(HostChecks, RecordsThatDoNotFitTheJobAreRefusedBeforeAnythingRuns) {
    JobSystem jobs(library(), 2);
    MarkUsedVerticesRecord marking{};
    RemapIndicesRecord remapping{};
    auto parallel = [&](JobId job, size_t size, int32_t length, host::ParallelForOptions options = {}) {
        return [&jobs, job, size, length, options, &remapping] {
            jobs.RunParallelFor(job, &remapping, size, length, options);
        };
    };
    host::ParallelForOptions zeroBatch, tooManyScripts, viewOutside;
    zeroBatch.batchSize = 0;
    tooManyScripts.scriptedRanges.resize(3);
    viewOutside.description.perIndexViewOffsets = {sizeof(RemapIndicesRecord) - 8};

    EXPECT_THROW(jobs.RunSingle(JobId::MarkUsedVertices, &marking, sizeof marking - 1), HostError);
    EXPECT_THROW(jobs.RunSingle(JobId::RemapIndices, &remapping, sizeof remapping), HostError);
    EXPECT_THROW(jobs.RunSingle(static_cast<JobId>(JOB_COUNT), &marking, sizeof marking), HostError);
    EXPECT_THROW(parallel(JobId::MarkUsedVertices, sizeof marking, 1)(), HostError);
    EXPECT_THROW(parallel(JobId::RemapIndices, sizeof remapping + 8, 1)(), HostError);
    EXPECT_THROW(parallel(JobId::RemapIndices, sizeof remapping, -1)(), HostError);
    EXPECT_THROW(parallel(JobId::RemapIndices, sizeof remapping, 1, zeroBatch)(), HostError);
    EXPECT_THROW(parallel(JobId::RemapIndices, sizeof remapping, 1, tooManyScripts)(), HostError);
    EXPECT_THROW(parallel(JobId::RemapIndices, sizeof remapping, 1, viewOutside)(), HostError);
    EXPECT_THROW(parallel(static_cast<JobId>(-1), sizeof remapping, 1)(), HostError);
    EXPECT_THROW(JobSystem(library(), 0), HostError);
    EXPECT_NO_THROW(jobs.Run(remapping, 0)) << "still usable after refusals";
}

TEST_F(HostChecks, BuildersRefuseWhatARecordCannotCarry) {
    EXPECT_NO_THROW(host::CheckViewLength(std::numeric_limits<int32_t>::max()));
    EXPECT_THROW(host::CheckViewLength(size_t{std::numeric_limits<int32_t>::max()} + 1), std::length_error);
    ConversionBuffers conversion;
    conversion.componentSizes.resize(COMPONENT_SIZES_CAPACITY);
    EXPECT_NO_THROW(conversion.Record());
    conversion.componentSizes.push_back(4);
    EXPECT_THROW(conversion.Record(), std::length_error);
}

}  // namespace
}  // namespace meshjobs::testing
