// Byte helpers for code that handles secrets.
#pragma once

#include <cstddef>

// Zero bytes, written so that the compiler cannot drop them as dead stores.
void ScrubBytes(void* p, std::size_t n);

// Compares two byte ranges in time that depends only on their length.
bool ConstantTimeEqual(const void* a, const void* b, std::size_t length);
