#include "records/WideText.h"

#include <stdio.h>
#include <wchar.h>

namespace records {

std::wstring FormatWideV(const wchar_t* format, va_list args) {
    va_list measureArgs;
    va_copy(measureArgs, args);
    const int length = _vscwprintf(format, measureArgs);
    va_end(measureArgs);
    if (length <= 0) return std::wstring();

    // One more slot than the text needs, so that the runtime always has room
    // for its terminating zero.
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int written = _vsnwprintf(&text[0], text.size(), format, args);
    if (written < 0) return std::wstring();
    text.resize(static_cast<size_t>(written));
    return text;
}

std::wstring FormatWide(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatWideV(format, args);
    va_end(args);
    return text;
}

}  // namespace records
