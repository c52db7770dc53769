// Per-access checks. Every check that can end a job answers true when the job
// may go on. A failed test calls the host's abort, which raises and should not
// return; if it returns anyway the check answers false and the job goes back to
// its entry point without touching anything more.
#pragma once

#include <stdint.h>

#include "binding/external_table.h"
#include "meshjobs/records.h"
#include "runtime/messages.h"

namespace meshjobs {

// Always false: the job stops here.
[[nodiscard]] bool Abort(const char* typeName, const char* message);

[[nodiscard]] bool FailIndex(int32_t length, int32_t rangeMin, int32_t rangeMax, int32_t k);

// The host's check functions take a fresh copy of the handle, built here.
void CallReadCheck(const AtomicSafetyHandle& handle);
void CallWriteCheck(const AtomicSafetyHandle& handle);

// Passes only inside the permitted range and inside the array, so a host
// that breaks its range promise gets an error rather than a wild access.
template <typename T>
[[nodiscard]] inline bool CheckIndex(const ArrayView<T>& view, int32_t k) {
    if (view.rangeMin <= k && k <= view.rangeMax && static_cast<uint32_t>(k) < static_cast<uint32_t>(view.length))
        return true;
    return FailIndex(view.length, view.rangeMin, view.rangeMax, k);
}

// The version cell is shared with the host and other workers: one unordered
// 32-bit load per test.
inline int32_t LoadVersionCell(const AtomicSafetyHandle& handle) {
    return __atomic_load_n(handle.versionCell, __ATOMIC_RELAXED);
}

// The permission fast test: whether the cell lets the handle read (write)
// without asking the host.
inline bool ReadPermittedBy(const AtomicSafetyHandle& handle, int32_t cell) {
    return handle.version == static_cast<int32_t>(static_cast<uint32_t>(cell) & READ_MASK);
}
inline bool WritePermittedBy(const AtomicSafetyHandle& handle, int32_t cell) {
    return handle.version == static_cast<int32_t>(static_cast<uint32_t>(cell) & WRITE_MASK);
}

// With one load of the cell: what a fast loop decides on.
inline bool ReadPermitted(const AtomicSafetyHandle& handle) { return ReadPermittedBy(handle, LoadVersionCell(handle)); }
inline bool WritePermitted(const AtomicSafetyHandle& handle) { return WritePermittedBy(handle, LoadVersionCell(handle)); }
inline bool ReadWritePermitted(const AtomicSafetyHandle& handle) {
    const int32_t cell = LoadVersionCell(handle);
    return ReadPermittedBy(handle, cell) && WritePermittedBy(handle, cell);
}

inline void CheckReadAccessWith(const AtomicSafetyHandle& handle, int32_t cell) {
    if (!ReadPermittedBy(handle, cell)) [[unlikely]]
        CallReadCheck(handle);
}

inline void CheckWriteAccessWith(const AtomicSafetyHandle& handle, int32_t cell) {
    if (!WritePermittedBy(handle, cell)) [[unlikely]]
        CallWriteCheck(handle);
}

inline void CheckReadAccess(const AtomicSafetyHandle& handle) { CheckReadAccessWith(handle, LoadVersionCell(handle)); }

inline void CheckWriteAccess(const AtomicSafetyHandle& handle) { CheckWriteAccessWith(handle, LoadVersionCell(handle)); }

// Element k of a SmallIntList, k taken as unsigned.
template <int Capacity>
[[nodiscard]] inline bool CheckSmallIntListIndex(const SmallIntList<Capacity>& list, uint32_t k) {
    if (k < list.count) return true;
    return Abort(INDEX_OUT_OF_RANGE_EXCEPTION, CONTAINER_MESSAGE);
}

// Null tests on the two addresses actually passed, then a copy that runs
// lowest address first.
[[nodiscard]] bool CopyBytes(void* destination, const void* source, int32_t length);

}  // namespace meshjobs
