#include <string>
#include <type_traits>

#include "meshjobs/host.h"

namespace meshjobs::host {

namespace {

// The library reads the cell as a plain 32-bit word through the handle.
static_assert(sizeof(std::atomic<int32_t>) == sizeof(int32_t));
static_assert(std::atomic<int32_t>::is_always_lock_free);
static_assert(std::is_standard_layout_v<SafetyCell>);

// The bits that make the library's read and write fast tests fail.
constexpr int32_t READ_SLOW_PATH = 1;
constexpr int32_t WRITE_SLOW_PATH = 2;
constexpr int32_t FLAG_BITS = 7;

SafetyCell& CellOf(const AtomicSafetyHandle* handle) {
    // The handle points at the cell's first member, so at the cell itself.
    return *reinterpret_cast<SafetyCell*>(handle->versionCell);
}

bool Released(int32_t value, const AtomicSafetyHandle& handle) { return (value & ~FLAG_BITS) != handle.version; }

[[noreturn]] void Refuse(const std::string& message) { throw JobException(INVALID_OPERATION_EXCEPTION, message); }

constexpr char RELEASED_MESSAGE[] =
    "The container's safety handle no longer matches its owner: the container has been deallocated.";

}  // namespace

SafetyCell::SafetyCell(int32_t version) : value_(version), version_(version) {
    if (version & FLAG_BITS)
        throw HostError("a safety version must leave its low three bits clear for the flags, got " +
                        std::to_string(version));
}

AtomicSafetyHandle SafetyCell::Handle() const {
    AtomicSafetyHandle handle{};
    // The library only loads through this pointer; the host writes through value_.
    handle.versionCell = reinterpret_cast<int32_t*>(const_cast<std::atomic<int32_t>*>(&value_));
    handle.version = version_;
    handle.safetyId = 0;
    return handle;
}

// The policy is set before the bit so a job that sees the bit finds it.
void SafetyCell::SetReadable(bool readable) {
    readable_.store(readable);
    if (readable)
        value_.fetch_and(~READ_SLOW_PATH);
    else
        value_.fetch_or(READ_SLOW_PATH);
}

void SafetyCell::SetWritable(bool writable) {
    writable_.store(writable);
    if (writable)
        value_.fetch_and(~WRITE_SLOW_PATH);
    else
        value_.fetch_or(WRITE_SLOW_PATH);
}

void SafetyCell::ResetCallCounts() {
    readCheckCalls_.store(0);
    writeCheckCalls_.store(0);
}

void SafetyCell::CheckRead(AtomicSafetyHandle* handleCopy) {
    SafetyCell& cell = CellOf(handleCopy);
    cell.readCheckCalls_.fetch_add(1, std::memory_order_relaxed);
    const int32_t value = cell.value_.load(std::memory_order_relaxed);
    if (Released(value, *handleCopy)) Refuse(RELEASED_MESSAGE);
    if (!cell.readable_.load())
        Refuse("The container may not be read: it is being written by another job or was marked unreadable.");
}

void SafetyCell::CheckWrite(AtomicSafetyHandle* handleCopy) {
    SafetyCell& cell = CellOf(handleCopy);
    cell.writeCheckCalls_.fetch_add(1, std::memory_order_relaxed);
    const int32_t value = cell.value_.load(std::memory_order_relaxed);
    if (Released(value, *handleCopy)) Refuse(RELEASED_MESSAGE);
    if (!cell.writable_.load())
        Refuse("The container may not be written: it is read-only or being read by another job.");
}

}  // namespace meshjobs::host
