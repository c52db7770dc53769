#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "internal.h"
#include "patch.h"
#include "range_source.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace meshjobs::host {

namespace {

constexpr size_t MAX_RECORD_SIZE =
    std::max({sizeof(MarkUsedVerticesRecord), sizeof(CompactVerticesRecord), sizeof(RemapIndicesRecord),
              sizeof(CountVertexReferencesRecord), sizeof(ConvertVertexLayoutRecord)});

// Tiny jobs end within microseconds; a short spin before sleeping saves a
// futex round trip per job when every worker has a core of its own.
constexpr int SPIN_ITERATIONS = 4000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Sleeping on an atomic's address. The C++ runtime of MinGW's GCC 12 loses
// wake-ups in std::atomic::wait (workers sleep forever), so Windows uses the
// system's own address wait.
#if defined(_WIN32)
template <typename T>
void WaitWhile(const std::atomic<T>& value, T current) {
    static_assert(sizeof(std::atomic<T>) == sizeof(T));
    WaitOnAddress(const_cast<std::atomic<T>*>(&value), &current, sizeof(T), INFINITE);
}
template <typename T>
void WakeAll(std::atomic<T>& value) { WakeByAddressAll(&value); }
template <typename T>
void WakeOne(std::atomic<T>& value) { WakeByAddressSingle(&value); }
#else
template <typename T>
void WaitWhile(const std::atomic<T>& value, T current) { value.wait(current, std::memory_order_acquire); }
template <typename T>
void WakeAll(std::atomic<T>& value) { value.notify_all(); }
template <typename T>
void WakeOne(std::atomic<T>& value) { value.notify_one(); }
#endif

template <typename T, typename Done>
void SpinThenWait(const std::atomic<T>& value, int spins, Done done) {
    for (int i = 0; i < spins; ++i) {
        if (done(value.load(std::memory_order_acquire))) return;
        CpuRelax();
    }
    for (;;) {
        const T current = value.load(std::memory_order_acquire);
        if (done(current)) return;
        WaitWhile(value, current);
    }
}

constexpr char WRAPPED_EXCEPTION[] = "System.Exception";

std::string Name(JobId job) { return detail::JobName(job); }

void RequireRecordFits(JobId job, bool parallelFor, const void* record, size_t recordSize) {
    detail::RequireKnownJob(job);
    if (IsParallelFor(job) != parallelFor)
        throw HostError(Name(job) + (parallelFor ? " is a single job: run it with RunSingle"
                                                 : " is a parallel-for job: run it with RunParallelFor"));
    if (recordSize != RecordSize(job))
        throw HostError(Name(job) + " takes a record of " + std::to_string(RecordSize(job)) + " bytes, got " +
                        std::to_string(recordSize));
    if (!record) throw HostError(Name(job) + " got a null record");
}

}  // namespace

struct JobSystem::Impl {
    struct alignas(64) Worker {
        alignas(64) unsigned char record[MAX_RECORD_SIZE];
        detail::PatchContext patch;
        std::optional<JobException> failure;
    };

    Impl(const Library& loaded, int count)
        : library(loaded), workerCount(count), ranges(count), workers(new Worker[count]) {
        const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
        spins = static_cast<unsigned>(workerCount) <= cores ? SPIN_ITERATIONS : 0;
        for (int job = 0; job < JOB_COUNT; ++job)
            if (IsParallelFor(static_cast<JobId>(job)))
                defaultViews[job] = DefaultDescription(static_cast<JobId>(job)).perIndexViewOffsets;
    }

    void RequireInitialized() {
        if (initializedSeen.load(std::memory_order_relaxed)) return;
        if (!detail::IsInitialized(library))
            throw HostError("the library '" + library.path() +
                            "' is not initialized: call Library::Initialize() before running jobs");
        initializedSeen.store(true, std::memory_order_relaxed);
    }

    JobEntryFunction EntryOf(JobId job) const {
        JobEntryFunction found = library.Entry(job);
        if (!found) throw HostError("the job system's library was moved from");
        return found;
    }

    void RunWorker(int worker) {
        Worker& slot = workers[worker];
        try {
            // The library reads range fields back from the record after each
            // patch, so every worker needs a copy no other worker patches.
            std::memcpy(slot.record, record, recordSize);
            entry(slot.record, nullptr, &slot.patch, &ranges, worker);
        } catch (const JobException& exception) {
            slot.failure = exception.WithWorker(worker);
        } catch (const std::exception& exception) {
            slot.failure = JobException(WRAPPED_EXCEPTION, exception.what(), worker);
        } catch (...) {
            slot.failure = JobException(WRAPPED_EXCEPTION, "an exception of unknown type", worker);
        }
    }

    void WorkerMain(int worker) {
        uint32_t seen = 0;
        for (;;) {
            SpinThenWait(generation, spins, [&](uint32_t now) { return now != seen; });
            seen = generation.load(std::memory_order_acquire);
            if (stopping.load(std::memory_order_acquire)) return;
            RunWorker(worker);
            if (pending.fetch_sub(1, std::memory_order_acq_rel) == 1) WakeOne(pending);
        }
    }

    // Runs the prepared job on every worker and returns once all stopped.
    void Dispatch() {
        if (workerCount > 1) {
            pending.store(workerCount - 1, std::memory_order_relaxed);
            generation.fetch_add(1, std::memory_order_release);
            WakeAll(generation);
        }
        RunWorker(0);
        if (workerCount > 1) SpinThenWait(pending, spins, [](int left) { return left == 0; });
    }

    void StartThreads() {
        threads.reserve(workerCount - 1);
        for (int worker = 1; worker < workerCount; ++worker)
            threads.emplace_back([this, worker] { WorkerMain(worker); });
    }

    ~Impl() {
        stopping.store(true, std::memory_order_release);
        generation.fetch_add(1, std::memory_order_release);
        WakeAll(generation);
        for (auto& thread : threads) thread.join();
    }

    const Library& library;
    const int workerCount;
    int spins = 0;
    std::atomic<bool> initializedSeen{false};
    std::atomic<bool> busy{false};
    std::vector<size_t> defaultViews[JOB_COUNT];

    // The current job, written before the generation bump that starts it.
    JobEntryFunction entry = nullptr;
    const void* record = nullptr;
    size_t recordSize = 0;
    detail::RangeSource ranges;
    std::unique_ptr<Worker[]> workers;

    std::vector<JobException> lastExceptions;

    std::atomic<uint32_t> generation{0};
    std::atomic<int> pending{0};
    std::atomic<bool> stopping{false};
    std::vector<std::thread> threads;
};

JobSystem::JobSystem(const Library& library, int workerCount) {
    if (workerCount < 1) throw HostError("a job system needs at least one worker, got " + std::to_string(workerCount));
    impl_ = std::make_unique<Impl>(library, workerCount);
    impl_->StartThreads();
}

JobSystem::~JobSystem() = default;

int JobSystem::workerCount() const { return impl_->workerCount; }

const std::vector<JobException>& JobSystem::lastExceptions() const { return impl_->lastExceptions; }

void JobSystem::RunSingle(JobId job, void* record, size_t recordSize) {
    RequireRecordFits(job, false, record, recordSize);
    impl_->RequireInitialized();
    impl_->EntryOf(job)(record, nullptr, nullptr, nullptr, 0);
}

RunReport JobSystem::RunParallelFor(JobId job, const void* record, size_t recordSize, int32_t length,
                                    const ParallelForOptions& options) {
    Impl& impl = *impl_;
    RequireRecordFits(job, true, record, recordSize);
    if (length < 0) throw HostError(Name(job) + " got a negative length " + std::to_string(length));
    if (options.batchSize < 1)
        throw HostError(Name(job) + " needs a batch size of at least 1, got " + std::to_string(options.batchSize));
    if (options.scriptedRanges.size() > static_cast<size_t>(impl.workerCount))
        throw HostError("scripted ranges for " + std::to_string(options.scriptedRanges.size()) +
                        " workers on a job system of " + std::to_string(impl.workerCount));
    const bool useDefault = options.useDefaultDescription && options.description.perIndexViewOffsets.empty();
    const std::vector<size_t>& views =
        useDefault ? impl.defaultViews[static_cast<int>(job)] : options.description.perIndexViewOffsets;
    for (size_t offset : views)
        if (offset > recordSize || recordSize - offset < sizeof(ArrayView<uint8_t>))
            throw HostError("a per-index view at byte " + std::to_string(offset) + " does not fit the " +
                            std::to_string(recordSize) + "-byte record of " + Name(job));
    impl.RequireInitialized();
    JobEntryFunction entry = impl.EntryOf(job);

    if (impl.busy.exchange(true, std::memory_order_acquire))
        throw HostError("the job system is already running a job; it runs one at a time");
    struct Release {
        std::atomic<bool>& busy;
        ~Release() { busy.store(false, std::memory_order_release); }
    } release{impl.busy};

    std::optional<detail::EventLog> events;
    if (options.recordEvents) events.emplace();
    detail::EventLog* log = events ? &*events : nullptr;

    impl.entry = entry;
    impl.record = record;
    impl.recordSize = recordSize;
    if (options.scriptedRanges.empty())
        impl.ranges.StartStealing(length, options.batchSize, log);
    else
        impl.ranges.StartScripted(options.scriptedRanges, log);
    for (int worker = 0; worker < impl.workerCount; ++worker) {
        Impl::Worker& slot = impl.workers[worker];
        slot.patch = {views.data(), views.size(), options.patchOverride ? &options.patchOverride : nullptr, log,
                      worker};
        slot.failure.reset();
    }
    impl.lastExceptions.clear();

    impl.Dispatch();

    RunReport report;
    report.indicesPerWorker.resize(impl.workerCount);
    for (int worker = 0; worker < impl.workerCount; ++worker) {
        report.indicesPerWorker[worker] = impl.ranges.HandedOut(worker);
        if (impl.workers[worker].failure) impl.lastExceptions.push_back(*impl.workers[worker].failure);
    }
    if (log) report.events = log->Take();
    if (!impl.lastExceptions.empty()) throw impl.lastExceptions.front();
    return report;
}

RunReport JobSystem::Run(const RemapIndicesRecord& record, int32_t length, const ParallelForOptions& options) {
    return RunParallelFor(JobId::RemapIndices, &record, sizeof record, length, options);
}

RunReport JobSystem::Run(const CountVertexReferencesRecord& record, int32_t length,
                         const ParallelForOptions& options) {
    return RunParallelFor(JobId::CountVertexReferences, &record, sizeof record, length, options);
}

RunReport JobSystem::Run(const ConvertVertexLayoutRecord& record, int32_t length, const ParallelForOptions& options) {
    return RunParallelFor(JobId::ConvertVertexLayout, &record, sizeof record, length, options);
}

}  // namespace meshjobs::host
