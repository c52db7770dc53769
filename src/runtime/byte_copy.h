// The one copy core of the library's checked copies: the bytes a forward byte
// loop leaves, moved in blocks wherever that gives the same bytes.
#pragma once

#include <stdint.h>

namespace meshjobs {

inline void CopyForward(uint8_t* to, const uint8_t* from, uint32_t length) {
    // A destination that starts inside the source after it sees its own
    // earlier bytes in a forward byte loop; a block copy would not, so only
    // the byte loop is exact there.
    if (to > from && to < from + length) {
        for (uint32_t k = 0; k < length; ++k) to[k] = from[k];
        return;
    }
    uint32_t k = 0;
    for (; k + 32 <= length; k += 32) {
        uint8_t block[32];
        __builtin_memcpy(block, from + k, 32);
        __builtin_memcpy(to + k, block, 32);
    }
    for (; k + 4 <= length; k += 4) {
        uint8_t word[4];
        __builtin_memcpy(word, from + k, 4);
        __builtin_memcpy(to + k, word, 4);
    }
    for (; k < length; ++k) to[k] = from[k];
}

}  // namespace meshjobs
