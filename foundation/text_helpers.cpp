#include "foundation/text_helpers.h"

std::string ToUpperAscii(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 0x20);
    }
    return result;
}
