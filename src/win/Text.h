// UTF-8 <-> UTF-16 conversion of bounded byte ranges.
#pragma once

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>

namespace text {

// Converts bytes[0..count) from UTF-8, stopping at the first zero byte if
// there is one; never reads past count.
inline std::wstring Utf8ToWide(const char* bytes, size_t count) {
    const void* zero = count ? std::memchr(bytes, 0, count) : nullptr;
    const size_t length = zero ? static_cast<size_t>(static_cast<const char*>(zero) - bytes) : count;
    if (length == 0) return {};
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), nullptr, 0);
    if (wideLength <= 0) return {};
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(length), &wide[0], wideLength);
    return wide;
}

// The UTF-8 form of a text without a terminating zero; none when the text
// cannot be converted (an unpaired surrogate).
inline std::optional<std::string> WideToUtf8(const std::wstring& wide) {
    if (wide.empty()) return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::nullopt;
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), static_cast<int>(wide.size()), &bytes[0], length,
                        nullptr, nullptr);
    return bytes;
}

}  // namespace text
