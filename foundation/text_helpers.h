// Small narrow-text helpers: integers as text, ASCII upper-casing.
#pragma once

#include <iomanip>
#include <sstream>
#include <string>

// The value in base 8, 10 or 16 (any other base gives decimal), lower-case digits, no base
// prefix; a width above 0 fills with '0' in front of the whole number, sign included.
// Negative values print as their two's-complement digits in bases 8 and 16.
template <class T>
std::string FormatInteger(T value, int base, int width)
{
    std::ostringstream out;
    out.width(width);
    if (width != 0) {
        out.fill('0');
        out.setf(std::ios::right, std::ios::adjustfield);
    }
    out << std::setbase(base) << +value;  // + prints character types as numbers
    return out.str();
}

// Only 'a' to 'z' change; every other byte is copied as it is.
std::string ToUpperAscii(const std::string& text);
