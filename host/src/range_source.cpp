#include "range_source.h"

#include <algorithm>

namespace meshjobs::host::detail {

namespace {

uint64_t Pack(int64_t begin, int64_t end) {
    return static_cast<uint64_t>(static_cast<uint32_t>(begin)) << 32 | static_cast<uint32_t>(end);
}
int64_t BeginOf(uint64_t bounds) { return static_cast<int64_t>(bounds >> 32); }
int64_t EndOf(uint64_t bounds) { return static_cast<int64_t>(bounds & 0xFFFFFFFFu); }

}  // namespace

RangeSource::RangeSource(int workerCount)
    : workerCount_(workerCount), slices_(new Slice[workerCount]), own_(new WorkerState[workerCount]) {}

void RangeSource::StartStealing(int32_t length, int32_t batchSize, EventLog* events) {
    scripted_ = false;
    batchSize_ = batchSize;
    events_ = events;
    for (int w = 0; w < workerCount_; ++w) {
        const int64_t begin = int64_t{length} * w / workerCount_;
        const int64_t end = int64_t{length} * (w + 1) / workerCount_;
        slices_[w].bounds.store(Pack(begin, end), std::memory_order_relaxed);
        own_[w] = WorkerState{};
    }
}

void RangeSource::StartScripted(const std::vector<std::vector<Range>>& scripts, EventLog* events) {
    scripted_ = true;
    events_ = events;
    for (int w = 0; w < workerCount_; ++w) {
        own_[w] = WorkerState{};
        if (static_cast<size_t>(w) < scripts.size()) {
            own_[w].scriptNext = scripts[w].data();
            own_[w].scriptEnd = scripts[w].data() + scripts[w].size();
        }
    }
}

bool RangeSource::TakeFront(Slice& slice, int32_t* begin, int32_t* end) const {
    uint64_t bounds = slice.bounds.load(std::memory_order_relaxed);
    for (;;) {
        const int64_t first = BeginOf(bounds), last = EndOf(bounds);
        if (first >= last) return false;
        const int64_t split = std::min(first + batchSize_, last);
        if (slice.bounds.compare_exchange_weak(bounds, Pack(split, last), std::memory_order_relaxed)) {
            *begin = static_cast<int32_t>(first);
            *end = static_cast<int32_t>(split);
            return true;
        }
    }
}

bool RangeSource::TakeBack(Slice& slice, int32_t* begin, int32_t* end) const {
    uint64_t bounds = slice.bounds.load(std::memory_order_relaxed);
    for (;;) {
        const int64_t first = BeginOf(bounds), last = EndOf(bounds);
        if (first >= last) return false;
        const int64_t split = std::max(last - batchSize_, first);
        if (slice.bounds.compare_exchange_weak(bounds, Pack(first, split), std::memory_order_relaxed)) {
            *begin = static_cast<int32_t>(split);
            *end = static_cast<int32_t>(last);
            return true;
        }
    }
}

bool RangeSource::NextStolen(int worker, int32_t* begin, int32_t* end) {
    if (TakeFront(slices_[worker], begin, end)) return true;
    // Slices only shrink, so one pass that finds them all empty is final.
    for (int offset = 1; offset < workerCount_; ++offset) {
        const int victim = (worker + offset) % workerCount_;
        if (TakeBack(slices_[victim], begin, end)) return true;
    }
    return false;
}

bool RangeSource::Next(int worker, int32_t* begin, int32_t* end) {
    if (worker < 0 || worker >= workerCount_) return false;
    WorkerState& state = own_[worker];
    bool given;
    if (scripted_) {
        given = state.scriptNext != state.scriptEnd;
        if (given) {
            *begin = state.scriptNext->begin;
            *end = state.scriptNext->end;
            ++state.scriptNext;
        }
    } else {
        given = NextStolen(worker, begin, end);
    }
    if (given && *end > *begin) state.handedOut += int64_t{*end} - *begin;
    if (events_) events_->Add({RangeEvent::Request, worker, given ? *begin : 0, given ? 1 : 0});
    return given;
}

}  // namespace meshjobs::host::detail
