// Whether the caller's thread rounds floating-point results upward: some
// conversions are exact copies in every rounding mode but that one.
#pragma once

namespace meshjobs {

// Asked of the arithmetic itself, which is cheaper than reading the control
// register: 1 + 2^-30 lies between two singles, and only upward rounding
// takes the one above 1. The barrier keeps the compiler from working the
// sum out in its own mode.
inline bool RoundsUpward() {
    float one = 1.0f;
#if defined(__x86_64__)
    __asm__("" : "+x"(one));
#elif defined(__aarch64__)
    __asm__("" : "+w"(one));
#else
    __asm__("" : "+m"(one));
#endif
    return one + 0x1p-30f > 1.0f;
}

}  // namespace meshjobs
