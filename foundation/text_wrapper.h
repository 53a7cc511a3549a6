// Lays a wide text out for a console or text listing: folded with the system's FoldStringW
// mapping and broken into lines no wider than a column count.
#pragma once

#include "foundation/encoded_string.h"

// Appends the laid-out input to output. Width 0 writes one line with every CR and LF
// turned into a space. Otherwise lines hold at most max(width, 63) - indent columns (a tab
// counts 8) and break at spaces and tabs where one lies close enough, else hard at the
// limit; CR, LF and their pairs end a line. Every line after the first is preceded by the
// separator and indent spaces; the first has neither, as the caller has already written
// its label. A null separator counts as an empty one.
void WrapText(Utf16String& output, const Utf16String& input, unsigned width, unsigned indent,
              const Utf16String* separator);
