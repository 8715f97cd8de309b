#include "win/ModulePath.h"

#include <algorithm>

namespace win {
namespace {

// The longest path the system accepts, in characters.
constexpr DWORD kLongestPath = 32768;

}  // namespace

std::wstring ModuleFileName(HMODULE module) {
    DWORD capacity = MAX_PATH;
    for (;;) {
        std::wstring path(capacity, L'\0');
        const DWORD length = ::GetModuleFileNameW(module, &path[0], capacity);
        if (length == 0) return std::wstring();
        // A path that fills the buffer may have been cut short.
        if (length < capacity) {
            path.resize(length);
            return path;
        }
        if (capacity >= kLongestPath) return std::wstring();
        capacity = std::min(capacity * 2, kLongestPath);
    }
}

std::wstring ModuleFileNameOf(const void* address) {
    HMODULE module = nullptr;
    // The module holds the caller's own address, so it stays loaded for the
    // call without a reference of its own.
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              static_cast<LPCWSTR>(address), &module))
        return std::wstring();
    return ModuleFileName(module);
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::wstring::size_type separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return std::wstring();
    return path.substr(0, separator);
}

}  // namespace win
