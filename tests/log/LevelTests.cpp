#include "LogFixture.h"

#include <algorithm>

namespace log_test {
namespace {

struct LevelCase {
    const wchar_t* text;  // null: the value is missing
    int level;
};

void PrintTo(const LevelCase& c, std::ostream* out) {
    *out << (c.text ? "\"" + Narrow(c.text) + "\"" : std::string("missing")) << " -> " << c.level;
}

class TraceLevelTest : public LogFileTest, public ::testing::WithParamInterface<LevelCase> {};

// The letters of the lines in the file, in order.
std::string LettersOf(const std::vector<std::wstring>& lines) {
    std::string letters;
    for (const auto& line : lines) {
        LineParts parts;
        letters += ParseLine(line, parts) ? parts.letter : "?";
    }
    return letters;
}

TEST_P(TraceLevelTest, FirstCharacterOfTheValueSetsWhatIsWritten) {
    const LevelCase c = GetParam();
    if (c.text != nullptr) {
        SetLevelText(c.text);
    } else {
        settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
            tarn_test::ScopedRegistryValue::Missing(kTarnHostKey, kLevelValue)));
    }
    StartLog();
    EXPECT_EQ(c.level, adaptor_log_testing::CurrentTraceLevel());

    for (int level = LOG_ERROR; level <= LOG_VERBOSE; ++level) {
        WriteLog(level, "Test::Level", L"at %d", level);
    }
    EXPECT_EQ(std::string("EWIV").substr(0, static_cast<size_t>(std::min(c.level, 4))),
              LettersOf(Lines()));
}

INSTANTIATE_TEST_SUITE_P(
    Letters, TraceLevelTest,
    ::testing::Values(LevelCase{L"e", 1}, LevelCase{L"Error", 1}, LevelCase{L"w", 2},
                      LevelCase{L"W", 2}, LevelCase{L"i", 3}, LevelCase{L"INFO", 3},
                      LevelCase{L"v", 4}, LevelCase{L"V", 4}, LevelCase{L"c", 5},
                      LevelCase{L"C", 5}));

INSTANTIATE_TEST_SUITE_P(
    Silent, TraceLevelTest,
    ::testing::Values(LevelCase{L"o", 0}, LevelCase{L"x", 0}, LevelCase{L"4", 0},
                      LevelCase{L" V", 0}, LevelCase{L"aVerbose", 0}));

INSTANTIATE_TEST_SUITE_P(Default, TraceLevelTest,
                         ::testing::Values(LevelCase{L"", 4}, LevelCase{nullptr, 4}));

TEST_F(LogFileTest, TraceLevelOfAnotherTypeCountsAsMissing) {
    const DWORD one = 1;
    settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
        kTarnHostKey, kLevelValue, REG_DWORD, &one, sizeof(one)));
    StartLog();
    EXPECT_EQ(4, adaptor_log_testing::CurrentTraceLevel());
}

TEST_F(LogFileTest, TraceLevelComesFromTheValueNamedByTheCaller) {
    SetLevelText(L"E");
    settings_.push_back(std::make_unique<tarn_test::ScopedRegistryValue>(
        tarn_test::ScopedRegistryValue::String(kTarnHostKey, L"TestLogLevel", L"Warning")));
    fileName_ = L"named-adaptor.log";
    ASSERT_EQ(0, InitLogFile(fileName_.c_str(), L"TestLogLevel", dir_.path().c_str()));
    EXPECT_EQ(2, adaptor_log_testing::CurrentTraceLevel());
    EXPECT_EQ(2, ReadTraceLevel(L"TestLogLevel"));
    EXPECT_EQ(1, ReadTraceLevel(kLevelValue));
    EXPECT_EQ(4, ReadTraceLevel(L"NoSuchLogLevel"));
}

}  // namespace
}  // namespace log_test
