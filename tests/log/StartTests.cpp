// Starting the log: where its file goes and the settings read from the registry.
#include "LogFixture.h"

namespace log_test {
namespace {

TEST_F(LogFileTest, MissingEmptyOrMistypedLogDirMeansNoLog) {
    const DWORD number = 7;
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        const ScopedRegistryValue logDir = kind == 0 ? ScopedRegistryValue::Missing(kQuillonKey, L"LOGDIR")
                                           : kind == 1
                                               ? ScopedRegistryValue::String(kQuillonKey, L"LOGDIR", L"")
                                               : ScopedRegistryValue(kQuillonKey, L"LOGDIR", REG_DWORD, &number, 4);
        EXPECT_EQ(L"", GetLogDir());
        EXPECT_EQ(-1, InitLogFile(L"nodir-adaptor.log", kLevelValue, nullptr));
        EXPECT_EQ(-1, InitLogFile(L"nodir-adaptor.log", kLevelValue, L""));
        EXPECT_EQ(L"", adaptor_log_testing::CurrentLogPath());
        WriteLog(LOG_ERROR, "Test::NoDir", L"dropped %d", 1);
        WriteLog(LOG_ERROR, nullptr, nullptr);
        EXPECT_FALSE(FileExists(L"nodir-adaptor.log"));  // nor in the current directory
    }
}

TEST_F(LogFileTest, LogDirIsCreatedAnExistingLogAppendedToAndASecondStartRefused) {
    // The trace level comes from the value the caller names.
    SetLevelText(L"E");
    Set(ScopedRegistryValue::String(kTarnHostKey, L"TestLogLevel", L"Warning"));
    const std::wstring logPath = dir_.Join(L"logs\\host-adaptor.log");
    Set(ScopedRegistryValue::String(kQuillonKey, L"LOGDIR", dir_.Join(L"logs"), REG_EXPAND_SZ));
    EXPECT_EQ(dir_.Join(L"logs"), GetLogDir());
    for (const wchar_t* text : {L"first run", L"second run"}) {
        adaptor_log_testing::Reset();
        ASSERT_EQ(0, InitLogFile(L"host-adaptor.log", L"TestLogLevel", nullptr));
        EXPECT_EQ(logPath, adaptor_log_testing::CurrentLogPath());
        EXPECT_EQ(2, adaptor_log_testing::CurrentTraceLevel());
        EXPECT_EQ(-2, InitLogFile(L"other-adaptor.log", kLevelValue, dir_.path().c_str()));
        WriteLog(LOG_WARNING, "Test::Dir", L"%s", text);
        WriteLog(LOG_INFO, "Test::Dir", L"dropped");
    }
    const auto lines = tarn_test::ReadLogLines(logPath);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("first run", Parse(lines[0]).message);
    EXPECT_EQ("second run", Parse(lines[1]).message);
    EXPECT_FALSE(FileExists(dir_.Join(L"other-adaptor.log")));
}

TEST_F(LogFileTest, FirstCharacterOfALogLevelSetsWhatIsWritten) {
    // A null text: the value is missing.
    const struct {
        const wchar_t* text;
        int level;
    } cases[] = {{L"e", 1}, {L"Error", 1}, {L"W", 2}, {L"i", 3},    {L"INFO", 3},
                 {L"v", 4}, {L"c", 5},     {L"C", 5}, {L"o", 0},    {L"x", 0},
                 {L"4", 0}, {L" V", 0},    {L"", 4},  {nullptr, 4}, {L"aVerbose", 0}};
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : L"missing");
        const ScopedRegistryValue value = c.text ? ScopedRegistryValue::String(kTarnHostKey, kLevelValue, c.text)
                                                 : ScopedRegistryValue::Missing(kTarnHostKey, kLevelValue);
        StartLog(L"level-" + std::to_wstring(run++) + L".log");
        EXPECT_EQ(c.level, adaptor_log_testing::CurrentTraceLevel());
        for (int level = LOG_ERROR; level <= LOG_VERBOSE; ++level) WriteLog(level, "T::L", L"");
        std::string letters;
        for (const auto& line : Lines()) letters += Parse(line).letter;
        EXPECT_EQ(std::string("EWIV").substr(0, c.level < 4 ? c.level : 4), letters);
    }
    Set(ScopedRegistryValue::Dword(kTarnHostKey, L"DwordLogLevel", 1));
    EXPECT_EQ(4, ReadTraceLevel(L"DwordLogLevel"));  // another type counts as missing
}

// A limit value: REG_NONE stands for a missing value.
struct Setting {
    DWORD type, value;
};
constexpr Setting kNone{REG_NONE, 0};
constexpr Setting Dw(DWORD value) { return {REG_DWORD, value}; }

TEST_F(LogFileTest, RegistryLimitsAreNormalised) {
    constexpr DWORD kLimit = 52428800, kTrunc = 41943040, k100M = 100000000;
    const struct {
        Setting logLimit, logTrunc;
        DWORD limit, trunc;
    } cases[] = {
        // Below the minimum both fall back, a configured LogTrunc is ignored.
        {kNone, kNone, kLimit, kTrunc},
        {Dw(10000000), Dw(9000000), kLimit, kTrunc},
        {Dw(0), Dw(60000000), kLimit, kTrunc},
        // LogTrunc is raised to half of the limit.
        {Dw(k100M), kNone, k100M, 50000000},
        {Dw(k100M), Dw(0), k100M, 50000000},
        {Dw(k100M), Dw(60000000), k100M, 60000000},
        // Equal: four fifths, without overflowing 32 bits.
        {Dw(k100M), Dw(k100M), k100M, 80000000},
        {Dw(2000000000), Dw(2000000000), 2000000000, 1600000000},
        {Dw(0xFFFFFFFF), Dw(0xFFFFFFFF), 0xFFFFFFFF, 3435973836u},
        // Above the limit both fall back; values of another type count as missing.
        {Dw(k100M), Dw(120000000), kLimit, kTrunc},
        {Dw(k100M), {REG_BINARY, 60000000}, k100M, 50000000},
        {{REG_BINARY, k100M}, Dw(60000000), kLimit, kTrunc},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("case " + std::to_string(run));
        std::vector<ScopedRegistryValue> values;
        for (const auto& [name, s] :
             {std::make_pair(L"LogLimit", c.logLimit), std::make_pair(L"LogTrunc", c.logTrunc)}) {
            if (s.type != REG_NONE) values.emplace_back(kTarnHostKey, name, s.type, &s.value, 4);
        }
        StartLog(L"limits-" + std::to_wstring(run++) + L".log");
        EXPECT_EQ(c.limit, adaptor_log_testing::CurrentLimits().logLimit);
        EXPECT_EQ(c.trunc, adaptor_log_testing::CurrentLimits().logTrunc);
    }
}

}  // namespace
}  // namespace log_test
