#include "LogFixture.h"

#include <cstdio>
#include <regex>

namespace log_test {

const wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";
const wchar_t kTarnHostKey[] = L"SOFTWARE\\Corvalis\\Quillon\\TarnHost";
const wchar_t kLevelValue[] = L"ALogLevel";

bool ParseLine(const std::wstring& line, LineParts& parts) {
    // The message may be long: only the prefix goes through the regex.
    const std::string text = Narrow(line);
    const size_t colon = text.find(": ");
    if (colon == std::string::npos) return false;
    static const std::regex prefix(
        R"(^(\d{8} \d{2}:\d{2}:\d{2}\.\d{3}) ([OEWIVCX]) ( *[0-9a-f]+) ([^ ]*)$)");
    const std::string head = text.substr(0, colon);
    std::smatch m;
    if (!std::regex_match(head, m, prefix)) return false;
    // Five wide, blanks only in front; wider identifiers are never padded.
    const std::string thread = m[3].str();
    if (thread.size() < 5 || (thread.size() > 5 && thread[0] == ' ')) return false;
    parts = {m[1].str(), m[2].str(), m[3].str(), m[4].str(), text.substr(colon + 2)};
    return true;
}

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

std::string ThreadField(DWORD threadId) {
    char field[16];
    std::snprintf(field, sizeof(field), "%5lx", static_cast<unsigned long>(threadId));
    return field;
}

void LogFileTest::SetUp() {
    adaptor_log_testing::Reset();
    // The limits come from the registry on every start: keep them at their
    // defaults unless a test says otherwise.
    settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
        tarn_test::ScopedRegistryValue::Missing(kTarnHostKey, L"LogLimit")));
    settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
        tarn_test::ScopedRegistryValue::Missing(kTarnHostKey, L"LogTrunc")));
}

void LogFileTest::TearDown() {
    // Closes the stream so that the directory can go.
    adaptor_log_testing::Reset();
    // Newest first: a later setting of the same value restores what an
    // earlier one put there.
    while (!settings_.empty()) settings_.pop_back();
}

void LogFileTest::SetLevelText(const std::wstring& text) {
    settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
        tarn_test::ScopedRegistryValue::String(kTarnHostKey, kLevelValue, text)));
}

void LogFileTest::StartLog(const std::wstring& fileName) {
    fileName_ = fileName;
    ASSERT_EQ(0, InitLogFile(fileName.c_str(), kLevelValue, dir_.path().c_str()));
    ASSERT_EQ(LogPath(), adaptor_log_testing::CurrentLogPath());
}

}  // namespace log_test
