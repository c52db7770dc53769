// The compiler may emit calls to these for block copies and clears; the
// library links against nothing, so it carries its own, hidden.
#include <stddef.h>
#include <stdint.h>

extern "C" {

__attribute__((visibility("hidden"))) void* memcpy(void* destination, const void* source, size_t size) {
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        uint64_t words[2];
        __builtin_memcpy(words, from + i, 16);
        __builtin_memcpy(to + i, words, 16);
    }
    for (; i < size; ++i) to[i] = from[i];
    return destination;
}

__attribute__((visibility("hidden"))) void* memmove(void* destination, const void* source, size_t size) {
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    if (to < from) {
        for (size_t i = 0; i < size; ++i) to[i] = from[i];
    } else {
        for (size_t i = size; i > 0; --i) to[i - 1] = from[i - 1];
    }
    return destination;
}

// Sixteen bytes a store: the counting job clears a 64 KB table per call.
__attribute__((visibility("hidden"))) void* memset(void* destination, int value, size_t size) {
    typedef uint8_t Bytes16 __attribute__((vector_size(16)));
    auto* to = static_cast<uint8_t*>(destination);
    const Bytes16 fill = Bytes16{} + static_cast<uint8_t>(value);
    size_t i = 0;
    for (; i + 16 <= size; i += 16) __builtin_memcpy(to + i, &fill, 16);
    for (; i < size; ++i) to[i] = static_cast<uint8_t>(value);
    return destination;
}

}
