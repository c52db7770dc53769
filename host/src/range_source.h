// Hands out the index ranges of a parallel-for run: by work stealing, or
// from per-worker scripts for tests of the range protocol.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::host::detail {

// Range requests and patch calls of one run, in the order they happened.
class EventLog {
public:
    void Add(const RangeEvent& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::vector<RangeEvent> Take() {
        std::lock_guard lock(mutex_);
        return std::move(events_);
    }

private:
    std::mutex mutex_;
    std::vector<RangeEvent> events_;
};

class RangeSource {
public:
    explicit RangeSource(int workerCount);

    // Splits [0, length) into one contiguous slice per worker.
    void StartStealing(int32_t length, int32_t batchSize, EventLog* events);
    // `scripts` must outlive the run and hold at most one list per worker.
    void StartScripted(const std::vector<std::vector<Range>>& scripts, EventLog* events);

    // The library's GetWorkStealingRange: false once this worker is done.
    bool Next(int worker, int32_t* begin, int32_t* end);

    int64_t HandedOut(int worker) const { return own_[worker].handedOut; }

private:
    // Other workers steal from these, so each sits on its own cache line.
    struct alignas(64) Slice {
        std::atomic<uint64_t> bounds{0};  // begin << 32 | end
    };
    // Touched by the owning worker only.
    struct alignas(64) WorkerState {
        const Range* scriptNext = nullptr;
        const Range* scriptEnd = nullptr;
        int64_t handedOut = 0;
    };

    bool TakeFront(Slice& slice, int32_t* begin, int32_t* end) const;
    bool TakeBack(Slice& slice, int32_t* begin, int32_t* end) const;
    bool NextStolen(int worker, int32_t* begin, int32_t* end);

    int workerCount_;
    int32_t batchSize_ = 1;
    bool scripted_ = false;
    EventLog* events_ = nullptr;
    std::unique_ptr<Slice[]> slices_;
    std::unique_ptr<WorkerState[]> own_;
};

}  // namespace meshjobs::host::detail
