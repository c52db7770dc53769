// The host emulator: loads libmeshjobs at run time, hands it the five host
// functions, and runs its jobs on worker threads the way the engine does.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "meshjobs/names.h"
#include "meshjobs/records.h"

namespace meshjobs::host {

// Bad use of the host API: a missing file, a missing export, a record that
// does not fit the job. Never raised by the library itself.
class HostError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An exception the job raised through the host: by burst_abort, or by a
// refused permission in the host's check functions.
class JobException : public std::runtime_error {
public:
    JobException(std::string typeName, std::string message, int worker = -1);
    const std::string& typeName() const { return typeName_; }
    const std::string& message() const { return message_; }
    // The worker that raised it, or -1 when raised outside a job system.
    int worker() const { return worker_; }
    JobException WithWorker(int worker) const { return JobException(typeName_, message_, worker); }

private:
    std::string typeName_;
    std::string message_;
    int worker_;
};

inline constexpr char INVALID_OPERATION_EXCEPTION[] = "System.InvalidOperationException";

// A host-owned version cell with the permissions the host grants. The cell's
// value is version | flags: bit 0 set makes the library's read fast test fail,
// bit 1 its write fast test (bit 2 is ignored by both). When a fast test fails
// the library calls the host, which decides by the cell's policy: refuse if
// the access is not allowed (SetReadable/SetWritable(false), which also set
// the bit) or if the version no longer matches; otherwise return, permitting.
// SetValue with bit 0 or 1 set and the access still allowed takes the slow
// path and permits.
class SafetyCell {
public:
    // Not explicit, so a cell member can be written `{}` in an aggregate.
    SafetyCell() : SafetyCell(8) {}
    explicit SafetyCell(int32_t version);
    SafetyCell(const SafetyCell&) = delete;
    SafetyCell& operator=(const SafetyCell&) = delete;

    AtomicSafetyHandle Handle() const;
    int32_t version() const { return version_; }

    void SetReadable(bool readable);
    void SetWritable(bool writable);
    // Raw value, for tests of the fast path.
    void SetValue(int32_t value) { value_.store(value, std::memory_order_relaxed); }
    int32_t value() const { return value_.load(std::memory_order_relaxed); }

    int readCheckCalls() const { return readCheckCalls_.load(); }
    int writeCheckCalls() const { return writeCheckCalls_.load(); }
    void ResetCallCounts();

    // Called by the host's check functions with the library's handle copy.
    static void CheckRead(AtomicSafetyHandle* handleCopy);
    static void CheckWrite(AtomicSafetyHandle* handleCopy);

private:
    std::atomic<int32_t> value_;  // must stay the first member: the handle points here
    int32_t version_;
    std::atomic<int> readCheckCalls_{0};
    std::atomic<int> writeCheckCalls_{0};
    // The policy the slow path applies; the flag bits only route to it.
    std::atomic<bool> readable_{true};
    std::atomic<bool> writable_{true};
};

// An unrestricted view: rangeMin 0, rangeMax length - 1.
template <typename T>
ArrayView<T> MakeView(T* data, int32_t length, const SafetyCell& cell) {
    ArrayView<T> view{};
    view.data = data;
    view.length = length;
    view.rangeMin = 0;
    view.rangeMax = length - 1;
    view.safety = cell.Handle();
    return view;
}

template <typename T>
ValueRef<T> MakeValueRef(T* data, const SafetyCell& cell) {
    ValueRef<T> ref{};
    ref.data = data;
    ref.safety = cell.Handle();
    return ref;
}

// The host's resolver: the five host functions by their exact names, null for
// any other name.
void* Resolve(const char* name);

// libmeshjobs, loaded at run time (dlopen, or LoadLibrary on Windows).
class Library {
public:
    // Throws HostError naming the file, or the first export that is missing.
    static Library Load(const std::string& path);
    // $MESHJOBS_LIBRARY; else the library beside the running program, or on
    // Linux the installed one in ../lib when none is beside it.
    static std::string DefaultPath();

    Library(Library&&) noexcept;
    Library& operator=(Library&&) noexcept;
    ~Library();

    const std::string& path() const { return path_; }
    // Any export by exact name; null if absent.
    void* Symbol(const std::string& name) const;

    JobEntryFunction Entry(JobId job) const { return entries_[static_cast<int>(job)]; }
    InitializerFunction JobInitializer(JobId job) const;
    InitializerFunction ExternalsInitializer(JobId job) const;
    StaticsInitializerFunction StaticsInitializer(JobId job) const;
    InitializerFunction LibraryInitializer() const;

    // burst.initialize with the host's resolver. Jobs need this first.
    void Initialize() const;

private:
    Library() = default;
    void* handle_ = nullptr;
    std::string path_;
    JobEntryFunction entries_[JOB_COUNT] = {};
};

// The version a library file carries (its ELF note, or the DLL's version
// resource), read without loading it; empty if it has none. Throws HostError
// if the file cannot be read.
std::string LibraryFileVersion(const std::string& path);

struct Range {
    int32_t begin;
    int32_t end;
};

// The host's description of a parallel-for job: which ArrayViews of the record
// the host restricts to the current range at each patch call (byte offsets of
// the views in the record). The others stay unrestricted.
struct ParallelForDescription {
    std::vector<size_t> perIndexViewOffsets;
};
// Remapping: the index buffer. Counting: the index buffer. Conversion: none.
ParallelForDescription DefaultDescription(JobId job);

// What a run saw, for tests of the range protocol.
struct RangeEvent {
    enum Kind { Request, Patch } kind;
    int worker;
    int32_t begin;
    int32_t count;  // Patch: the count passed; Request: 1 if a range was given, 0 if not
};

struct ParallelForOptions {
    int32_t batchSize = 64;
    ParallelForDescription description;  // empty: DefaultDescription(job)
    bool useDefaultDescription = true;
    // Instead of work stealing: exactly these ranges, per worker, in order.
    std::vector<std::vector<Range>> scriptedRanges;
    // Called after the host's own patch, with the worker's record copy; lets a
    // test set range fields the way a particular host would.
    std::function<void(void* record, int32_t begin, int32_t count)> patchOverride;
    // Record every range request and patch call (slower; for tests).
    bool recordEvents = false;
};

struct RunReport {
    std::vector<RangeEvent> events;  // only with recordEvents
    std::vector<int64_t> indicesPerWorker;
};

// Worker threads that run single and parallel-for jobs. Worker 0 is the
// calling thread; the others are kept alive between jobs.
class JobSystem {
public:
    JobSystem(const Library& library, int workerCount);
    ~JobSystem();
    JobSystem(const JobSystem&) = delete;
    JobSystem& operator=(const JobSystem&) = delete;

    int workerCount() const;

    // Runs the job once on the calling thread; a JobException it raises
    // propagates to the caller.
    void RunSingle(JobId job, void* record, size_t recordSize);
    void Run(MarkUsedVerticesRecord& record) { RunSingle(JobId::MarkUsedVertices, &record, sizeof record); }
    void Run(CompactVerticesRecord& record) { RunSingle(JobId::CompactVertices, &record, sizeof record); }

    // Runs indices [0, length) over all workers, each with its own copy of the
    // record. Exceptions from every worker are collected; the first one (by
    // worker index) is rethrown with its worker, after every worker stopped.
    RunReport RunParallelFor(JobId job, const void* record, size_t recordSize, int32_t length,
                             const ParallelForOptions& options = {});
    RunReport Run(const RemapIndicesRecord& record, int32_t length, const ParallelForOptions& options = {});
    RunReport Run(const CountVertexReferencesRecord& record, int32_t length, const ParallelForOptions& options = {});
    RunReport Run(const ConvertVertexLayoutRecord& record, int32_t length, const ParallelForOptions& options = {});

    // Every exception of the last parallel-for run, by worker.
    const std::vector<JobException>& lastExceptions() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Expected record size of each job, for the host's record check.
size_t RecordSize(JobId job);
bool IsParallelFor(JobId job);

}  // namespace meshjobs::host
