#include "LogFile.h"

#include "win/raii.h"

#include <cstdlib>
#include <cwctype>

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

// "20261206 12:00:34.228 " comes before the level letter.
constexpr size_t kLevelColumn = 22;

// The position of the function name: after the level letter, the blanks
// that right-align the thread id, the id's hex digits and one blank.
bool FindFunction(const std::wstring& line, size_t& at) {
    if (line.size() <= kLevelColumn + 1) return false;
    at = kLevelColumn + 1;
    while (at < line.size() && line[at] == L' ') ++at;
    while (at < line.size() && std::iswxdigit(line[at])) ++at;
    if (at >= line.size() || line[at] != L' ') return false;
    ++at;
    return true;
}

bool ParseLine(const std::wstring& line, LogEntry& entry) {
    size_t at = 0;
    if (!FindFunction(line, at)) return false;
    entry.level = line[kLevelColumn];
    entry.thread = static_cast<DWORD>(std::wcstoul(line.c_str() + kLevelColumn + 1, nullptr, 16));
    // Function names hold "::" but never ": ", so the first ": " ends the name
    // even when the message holds more of them.
    const size_t colon = line.find(L": ", at);
    if (colon == std::wstring::npos) {
        // A line that ends right after the colon of its name: an empty message.
        if (line.back() != L':') return false;
        entry.function = line.substr(at, line.size() - 1 - at);
        entry.text.clear();
        return true;
    }
    entry.function = line.substr(at, colon - at);
    entry.text = line.substr(colon + 2);
    return true;
}

std::wstring EntryText(const LogEntry& entry) { return entry.function + L": " + entry.text; }

}  // namespace

std::string ReadFileBytes(const std::wstring& path) {
    win::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
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

std::vector<LogEntry> ParseLogLines(const std::vector<std::wstring>& lines) {
    std::vector<LogEntry> entries;
    for (const std::wstring& line : lines) {
        LogEntry entry;
        if (ParseLine(line, entry)) entries.push_back(entry);
    }
    return entries;
}

std::vector<LogEntry> EntriesOf(const std::vector<std::wstring>& lines, const std::wstring& function) {
    std::vector<LogEntry> matching;
    for (const LogEntry& entry : ParseLogLines(lines))
        if (entry.function == function) matching.push_back(entry);
    return matching;
}

std::vector<std::wstring> TextsOf(const std::vector<std::wstring>& lines, const std::wstring& function) {
    std::vector<std::wstring> texts;
    for (const LogEntry& entry : EntriesOf(lines, function)) texts.push_back(entry.text);
    return texts;
}

std::vector<std::wstring> TextsOf(const std::vector<std::wstring>& lines, const std::wstring& function, wchar_t level) {
    std::vector<std::wstring> texts;
    for (const LogEntry& entry : EntriesOf(lines, function))
        if (entry.level == level) texts.push_back(entry.text);
    return texts;
}

std::vector<wchar_t> LevelsOf(const std::vector<std::wstring>& lines, const std::wstring& function,
                              const std::wstring& text) {
    std::vector<wchar_t> levels;
    for (const LogEntry& entry : EntriesOf(lines, function))
        if (entry.text == text) levels.push_back(entry.level);
    return levels;
}

wchar_t LevelOf(const std::vector<std::wstring>& lines, const std::wstring& function, const std::wstring& text) {
    const std::vector<wchar_t> levels = LevelsOf(lines, function, text);
    return levels.empty() ? L'\0' : levels.front();
}

size_t CountMessages(const std::vector<std::wstring>& lines, const std::wstring& function, const std::wstring& text) {
    return LevelsOf(lines, function, text).size();
}

size_t CountEntries(const std::vector<std::wstring>& lines, wchar_t level, const std::wstring& entry) {
    size_t count = 0;
    for (const LogEntry& parsed : ParseLogLines(lines))
        if (parsed.level == level && EntryText(parsed) == entry) ++count;
    return count;
}

std::vector<std::wstring> EntriesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    std::vector<std::wstring> found;
    for (const LogEntry& parsed : ParseLogLines(lines)) {
        const std::wstring entry = EntryText(parsed);
        if (entry.compare(0, prefix.size(), prefix) == 0) found.push_back(entry);
    }
    return found;
}

size_t CountEntriesStartingWith(const std::vector<std::wstring>& lines, const std::wstring& prefix) {
    return EntriesStartingWith(lines, prefix).size();
}

bool WaitForEntry(const std::wstring& logPath, wchar_t level, const std::wstring& entry, size_t count,
                  DWORD timeoutMs) {
    return WaitUntil([&] { return CountEntries(ReadLogLines(logPath), level, entry) >= count; }, timeoutMs);
}

}  // namespace tarn_test
