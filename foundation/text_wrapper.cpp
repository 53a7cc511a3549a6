#include "foundation/text_wrapper.h"

#include <windows.h>

#include <climits>
#include <string>

namespace {

const DWORD kFoldFlags = MAP_FOLDCZONE | MAP_PRECOMPOSED | MAP_FOLDDIGITS;
const unsigned kMinimumWidth = 63;

// The folded text, or the failure notice in its place. Folding can expand a text (a
// compatibility ligature becomes its letters), so the system is asked for the size.
std::wstring Fold(const std::wstring& input) {
    static const wchar_t kFoldError[] = L"[ERROR - unable to fold text to be wrapped]";
    if (input.size() > INT_MAX) return kFoldError;
    const int length = static_cast<int>(input.size());
    int needed = FoldStringW(kFoldFlags, input.data(), length, nullptr, 0);
    if (needed <= 0) return kFoldError;
    std::wstring folded(static_cast<std::size_t>(needed), L'\0');
    int written = FoldStringW(kFoldFlags, input.data(), length, &folded[0], needed);
    if (written <= 0) return kFoldError;
    folded.resize(static_cast<std::size_t>(written));
    return folded;
}

bool IsLineEnd(wchar_t c) { return c == L'\n' || c == L'\r'; }

}  // namespace

void WrapText(Utf16String& output, const Utf16String& input, unsigned width, unsigned indent,
              const Utf16String* separator) {
    // The system refuses to fold nothing; nothing is what an empty text lays out to.
    if (input.text.empty()) return;
    const std::wstring work = Fold(input.text);
    std::wstring& out = output.text;

    if (width == 0) {
        for (wchar_t c : work) out += IsLineEnd(c) ? L' ' : c;
        return;
    }

    const unsigned lineWidth = width < kMinimumWidth ? kMinimumWidth : width;
    // An indent as wide as the line still leaves one column for the text.
    const std::size_t avail = indent < lineWidth ? lineWidth - indent : 1;
    const std::size_t maxBack = avail > 80 ? avail / 4 : 20;
    const std::wstring lineLead = (separator ? separator->text : std::wstring()) + std::wstring(indent, L' ');

    bool first = true;
    std::size_t col = 0, breakCol = 0;
    wchar_t lastEol = 0;
    std::size_t lineStart = 0, breakPos = 0;
    const std::size_t length = work.size();
    for (std::size_t cur = 0; cur < length; ++cur) {
        const wchar_t c = work[cur];
        bool breakNow = false, eolSeen = false;
        switch (c) {
        case L'\t':
            breakCol = col;
            col += 8;
            breakPos = cur;
            break;
        case L'\n':
        case L'\r': {
            const wchar_t partner = c == L'\n' ? L'\r' : L'\n';
            if (lastEol == partner) {
                // Second half of a CR LF or LF CR pair: the line has already ended.
                ++lineStart;
                ++breakPos;
            } else {
                breakCol = col;
                lastEol = c;
                eolSeen = true;
                breakPos = cur;
                breakNow = true;
            }
            break;
        }
        case L' ':
            breakCol = col;
            col += 1;
            breakPos = cur;
            break;
        default:
            col += 1;
            break;
        }
        if (!eolSeen) lastEol = 0;
        if (col > avail) {
            if (breakPos == lineStart || breakPos + maxBack < cur) {
                breakCol = col - 1;
                breakPos = cur;
            }
            breakNow = true;
        }
        if (breakNow) {
            if (first)
                first = false;
            else
                out += lineLead;
            out.append(work, lineStart, breakPos - lineStart);
            col -= breakCol;
            if (breakPos < length) {
                if (IsLineEnd(work[breakPos])) {
                    ++breakPos;
                } else if (work[breakPos] == L' ') {
                    ++breakPos;
                    --col;
                }
            }
            lineStart = breakPos;
        }
    }
    if (lineStart < length) {
        if (!first) out += lineLead;
        out.append(work, lineStart, std::wstring::npos);
    }
}
