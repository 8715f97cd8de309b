// What the benchmarks share: a high-resolution clock and a scratch folder of
// their own under the temporary directory.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

inline LARGE_INTEGER Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now;
}

inline double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// "<temp>\<prefix><process id>", created if need be: concurrent runs never
// share files.
inline std::wstring MakeBenchDir(const wchar_t* prefix) {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    std::wstring dir = std::wstring(base) + prefix + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

}  // namespace bench
