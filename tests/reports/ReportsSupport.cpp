#include "ReportsSupport.h"

#include <cwctype>

#include "tarnref.h"
#include "tarnstub.h"

namespace reports_test {

namespace {

// "20261206 12:00:34.228 I   130 Class::Method: message"
constexpr size_t kLevelColumn = 22;

bool ParseLine(const std::wstring& line, LogEntry& entry) {
    if (line.size() <= kLevelColumn + 1) return false;
    entry.level = line[kLevelColumn];
    size_t pos = kLevelColumn + 1;
    while (pos < line.size() && line[pos] == L' ') ++pos;
    while (pos < line.size() && std::iswxdigit(line[pos])) ++pos;
    if (pos >= line.size() || line[pos] != L' ') return false;
    ++pos;
    const size_t colon = line.find(L": ", pos);
    if (colon == std::wstring::npos) {
        // A message that is empty leaves the line ending in ": ".
        if (line.size() < 2 || line.compare(line.size() - 1, 1, L":") != 0) return false;
        entry.function = line.substr(pos, line.size() - 1 - pos);
        entry.text.clear();
        return true;
    }
    entry.function = line.substr(pos, colon - pos);
    entry.text = line.substr(colon + 2);
    return true;
}

}  // namespace

std::vector<LogEntry> ParseLogLines(const std::vector<std::wstring>& lines) {
    std::vector<LogEntry> entries;
    for (const std::wstring& line : lines) {
        LogEntry entry;
        if (ParseLine(line, entry)) entries.push_back(entry);
    }
    return entries;
}

void ReportsTest::InitializeConnected() {
    ASSERT_EQ(TARNSTUB_OK, Initialize(kBladeType));
    ASSERT_EQ(1u, TarnRef_CountCalls(L"Register")) << CallDump();
    ASSERT_EQ(1u, TarnRef_RegistrationCount());
}

std::vector<LogEntry> ReportsTest::EntriesOf(const std::wstring& function) const {
    std::vector<LogEntry> matching;
    for (const LogEntry& entry : Entries())
        if (entry.function == function) matching.push_back(entry);
    return matching;
}

std::vector<std::wstring> ReportsTest::TextsOf(const std::wstring& function, wchar_t level) const {
    std::vector<std::wstring> texts;
    for (const LogEntry& entry : EntriesOf(function))
        if (entry.level == level) texts.push_back(entry.text);
    return texts;
}

std::vector<std::wstring> ReportsTest::AdaptorErrors() const {
    return TextsOf(L"TarnNotificationPeer::OnAdaptorError", L'E');
}

size_t ReportsTest::ErrorLineCount() const {
    size_t count = 0;
    for (const LogEntry& entry : Entries())
        if (entry.level == L'E') ++count;
    return count;
}

}  // namespace reports_test
