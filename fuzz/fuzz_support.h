// Shared by the fuzz targets: the real library through the host emulator, and
// records whose fields the fuzzer picks inside the host's envelope. Every view
// points to a buffer of exactly its declared length, so the sanitizers flag
// any access the library's checks should have refused.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "meshjobs/host.h"

namespace meshjobs::fuzz {

inline host::Library& FuzzLibrary() {
    static host::Library library = [] {
        host::Library loaded = host::Library::Load(MESHJOBS_LIBRARY_FILE);
        loaded.Initialize();
        return loaded;
    }();
    return library;
}

// Worker threads are kept between inputs: one job system per worker count.
inline host::JobSystem& FuzzJobs(int workers) {
    static std::array<std::unique_ptr<host::JobSystem>, 4> systems;
    auto& system = systems.at(static_cast<size_t>(workers));
    if (!system) system = std::make_unique<host::JobSystem>(FuzzLibrary(), workers);
    return *system;
}

// One input's buffers and safety cells; they outlive the job that uses them.
class Envelope {
public:
    explicit Envelope(FuzzedDataProvider& in) : in_(in) {
        for (auto& cell : cells_) {
            cell = std::make_unique<host::SafetyCell>(in_.ConsumeIntegralInRange<int32_t>(0, 3) * 8);
            // Mostly granted; now and then refused, or a fast-path bit set so
            // the library has to ask the host.
            const uint8_t state = in_.ConsumeIntegral<uint8_t>();
            if (state < 16) cell->SetReadable(false);
            if (state >= 16 && state < 32) cell->SetWritable(false);
            if (state >= 32 && state < 48) cell->SetValue(cell->version() | (state & 7));
        }
    }

    // A view over a fresh buffer of `length` elements with contents from the
    // input. Ranges: usually the whole view, sometimes anything at all.
    template <typename T>
    ArrayView<T> View(int32_t maxLength) {
        const int32_t length = in_.ConsumeIntegralInRange<int32_t>(0, maxLength);
        auto& storage = buffers_.emplace_back(static_cast<size_t>(length) * sizeof(T));
        const std::vector<uint8_t> bytes = in_.ConsumeBytes<uint8_t>(storage.size());
        std::copy(bytes.begin(), bytes.end(), storage.begin());
        ArrayView<T> view{};
        view.data = length == 0 && in_.ConsumeBool() ? nullptr : reinterpret_cast<T*>(storage.data());
        view.length = length;
        view.rangeMin = 0;
        view.rangeMax = length - 1;
        if (in_.ConsumeIntegral<uint8_t>() < 32) {
            view.rangeMin = in_.ConsumeIntegral<int32_t>();
            view.rangeMax = in_.ConsumeIntegral<int32_t>();
        }
        view.alignment = in_.ConsumeIntegral<int32_t>();
        view.safety = Handle();
        return view;
    }

    template <typename T>
    ValueRef<T> Value() {
        auto& storage = buffers_.emplace_back(sizeof(T));
        ValueRef<T> ref{};
        ref.data = reinterpret_cast<T*>(storage.data());
        *ref.data = in_.ConsumeIntegral<T>();
        ref.safety = Handle();
        return ref;
    }

    // Index values: mostly small enough to name an element, sometimes not.
    template <typename T>
    void FillIndices(ArrayView<T> view, uint32_t below) {
        for (int32_t i = 0; i < view.length && view.data; ++i)
            view.data[i] = in_.ConsumeIntegral<uint8_t>() < 240 && below > 0
                               ? static_cast<T>(in_.ConsumeIntegral<uint32_t>() % below)
                               : in_.ConsumeIntegral<T>();
    }

    // Workers, batch size and, now and then, a host that breaks its range
    // promise: each patch widens or shifts the per-index views' ranges.
    host::ParallelForOptions Split(JobId job, host::JobSystem** jobs) {
        *jobs = &FuzzJobs(in_.ConsumeIntegralInRange(1, 3));
        host::ParallelForOptions options;
        options.batchSize = in_.ConsumeIntegralInRange<int32_t>(1, 40);
        if (in_.ConsumeIntegral<uint8_t>() < 24) {
            const int32_t low = in_.ConsumeIntegralInRange<int32_t>(-3, 3);
            const int32_t high = in_.ConsumeIntegralInRange<int32_t>(-3, 3);
            const std::vector<size_t> offsets = host::DefaultDescription(job).perIndexViewOffsets;
            // Runs on every worker with its own record copy: captures by value only.
            options.patchOverride = [offsets, low, high](void* record, int32_t begin, int32_t count) {
                for (size_t offset : offsets) {
                    auto* view = reinterpret_cast<ArrayView<uint8_t>*>(static_cast<char*>(record) + offset);
                    view->rangeMin = begin + low;
                    view->rangeMax = begin + count - 1 + high;
                }
            };
        }
        return options;
    }

    int32_t Length(int32_t max) { return in_.ConsumeIntegralInRange<int32_t>(0, max); }
    FuzzedDataProvider& in() { return in_; }

private:
    AtomicSafetyHandle Handle() {
        const auto& cell = *cells_[in_.ConsumeIntegralInRange<size_t>(0, cells_.size() - 1)];
        AtomicSafetyHandle handle = cell.Handle();
        if (in_.ConsumeIntegral<uint8_t>() < 8) handle.version ^= 8;  // a stale handle
        return handle;
    }

    FuzzedDataProvider& in_;
    std::array<std::unique_ptr<host::SafetyCell>, 3> cells_;
    std::deque<std::vector<uint8_t>> buffers_;
};

}  // namespace meshjobs::fuzz
