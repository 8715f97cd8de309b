#include "win/Registry.h"

#include <cwchar>
#include <vector>

#include "win/raii.h"

namespace win {
namespace {

UniqueHKey OpenForReading(HKEY root, const wchar_t* subKey) {
    UniqueHKey key;
    if (::RegOpenKeyExW(root, subKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

std::optional<std::wstring> ReadRegistryText(HKEY root, const wchar_t* subKey, const wchar_t* valueName,
                                             size_t maxChars) {
    const UniqueHKey key = OpenForReading(root, subKey);
    if (!key) return std::nullopt;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS || !IsText(type))
        return std::nullopt;
    if (maxChars != 0 && bytes > maxChars * sizeof(wchar_t)) return std::nullopt;
    // One extra character: a stored text need not carry its terminator.
    std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes) !=
            ERROR_SUCCESS ||
        !IsText(type))
        return std::nullopt;
    return std::wstring(buffer.data(), ::wcsnlen(buffer.data(), bytes / sizeof(wchar_t)));
}

std::optional<DWORD> ReadRegistryDword(HKEY root, const wchar_t* subKey, const wchar_t* valueName) {
    const UniqueHKey key = OpenForReading(root, subKey);
    if (!key) return std::nullopt;
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return std::nullopt;
    return value;
}

}  // namespace win
