// Reading registry values: the one place that knows how a string value may
// be stored (with or without its terminator) and what counts as missing.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace win {

// The text of a string value (REG_SZ or REG_EXPAND_SZ, not expanded) of
// root\subKey, opened for reading; valueName null reads the key's default
// value. The text ends at its first zero character. None when the key or the
// value is missing, of another type, or takes more than maxChars characters
// of storage (0: no limit).
std::optional<std::wstring> ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                                             size_t maxChars = 0);

// A REG_DWORD value of root\subKey; none when missing or of another type.
std::optional<DWORD> ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* valueName);

}  // namespace win
