#include "foundation/secure_bytes.h"

void ScrubBytes(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--) *v++ = 0;
}

bool ConstantTimeEqual(const void* a, const void* b, std::size_t length) {
    const volatile unsigned char* x = static_cast<const volatile unsigned char*>(a);
    const volatile unsigned char* y = static_cast<const volatile unsigned char*>(b);
    unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i) difference |= x[i] ^ y[i];
    return difference == 0;
}
