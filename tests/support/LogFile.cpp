#include "LogFile.h"

#include "win/raii.h"

#include <cstdlib>

namespace tarn_test {
namespace {

// Narrow text to wide by the C runtime's current locale; bytes that do not
// convert are widened one by one so that nothing vanishes from a line.
std::wstring WidenByLocale(const std::string& narrow) {
    std::wstring wide(narrow.size() + 1, L'\0');
    const size_t chars = std::mbstowcs(&wide[0], narrow.c_str(), wide.size());
    if (chars == static_cast<size_t>(-1)) return std::wstring(narrow.begin(), narrow.end());
    wide.resize(chars);
    return wide;
}

}  // namespace

std::string ReadFileBytes(const std::wstring& path) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        bytes.append(buffer, read);
    }
    return bytes;
}

std::vector<std::wstring> ReadLogLines(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(WidenByLocale(bytes.substr(start)));
            break;
        }
        lines.push_back(WidenByLocale(bytes.substr(start, end - start)));
        start = end + 2;
    }
    return lines;
}

}  // namespace tarn_test
