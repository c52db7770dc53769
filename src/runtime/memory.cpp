// The compiler may emit calls to these for block copies and clears; the
// library links against nothing, so it carries its own, hidden.
#include <stddef.h>
#include <stdint.h>

extern "C" {

__attribute__((visibility("hidden"))) void* memcpy(void* destination, const void* source, size_t size) {
    auto* to = static_cast<uint8_t*>(destination);
    const auto* from = static_cast<const uint8_t*>(source);
    for (size_t i = 0; i < size; ++i) to[i] = from[i];
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

__attribute__((visibility("hidden"))) void* memset(void* destination, int value, size_t size) {
    auto* to = static_cast<uint8_t*>(destination);
    for (size_t i = 0; i < size; ++i) to[i] = static_cast<uint8_t>(value);
    return destination;
}

}
