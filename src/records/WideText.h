// Wide-text formatting for the records' text forms. The formats follow the
// Microsoft printf rules (%s takes a wide string, %I64i a 64-bit integer),
// which is why these go through the runtime's _vsnwprintf and not the ISO
// swprintf family.
#pragma once

#include <cstdarg>
#include <string>

namespace records {

// The formatted text, or the empty text when the format cannot be applied.
std::wstring FormatWide(const wchar_t* format, ...);
std::wstring FormatWideV(const wchar_t* format, va_list args);

// A copy of a text a blade passed in; a null pointer reads as the empty text.
inline std::wstring TextOrEmpty(const wchar_t* text) { return text ? std::wstring(text) : std::wstring(); }

}  // namespace records
