#include "LogFixture.h"

#include "win/raii.h"

namespace log_test {
namespace {

using tarn_test::ScopedRegistryValue;

class InitTest : public LogFileTest {
protected:
    void SetLogDir(ScopedRegistryValue value) {
        settings_.push_back(std::make_unique<ScopedRegistryValue>(std::move(value)));
    }
};

TEST_F(InitTest, WithoutLogDirThereIsNoLog) {
    SetLogDir(ScopedRegistryValue::Missing(kQuillonKey, L"LOGDIR"));
    EXPECT_EQ(L"", GetLogDir());
    EXPECT_EQ(-1, InitLogFile(L"nodir-adaptor.log", kLevelValue, nullptr));
    EXPECT_EQ(L"", adaptor_log_testing::CurrentLogPath());
    WriteLog(LOG_ERROR, "Test::NoDir", L"dropped");
    // Nothing was written where the file would have gone in the current
    // directory either.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(L"nodir-adaptor.log"));
}

TEST_F(InitTest, EmptyOrMistypedLogDirMeansNoLog) {
    {
        SetLogDir(ScopedRegistryValue::String(kQuillonKey, L"LOGDIR", L""));
        EXPECT_EQ(-1, InitLogFile(L"x-adaptor.log", kLevelValue, nullptr));
        settings_.pop_back();
    }
    const DWORD number = 7;
    SetLogDir(ScopedRegistryValue(kQuillonKey, L"LOGDIR", REG_DWORD, &number, sizeof(number)));
    EXPECT_EQ(L"", GetLogDir());
    EXPECT_EQ(-1, InitLogFile(L"x-adaptor.log", kLevelValue, nullptr));
    EXPECT_EQ(-1, InitLogFile(L"x-adaptor.log", kLevelValue, L""));
    EXPECT_EQ(L"", adaptor_log_testing::CurrentLogPath());
}

TEST_F(InitTest, LogDirFromTheRegistryIsCreatedAndUsed) {
    SetLevelText(L"V");
    const std::wstring logDir = dir_.Join(L"logs");
    SetLogDir(ScopedRegistryValue::String(kQuillonKey, L"LOGDIR", logDir, REG_EXPAND_SZ));
    EXPECT_EQ(logDir, GetLogDir());
    ASSERT_EQ(0, InitLogFile(L"host-adaptor.log", kLevelValue, nullptr));
    EXPECT_EQ(logDir + L"\\host-adaptor.log", adaptor_log_testing::CurrentLogPath());
    WriteLog(LOG_INFO, "Test::Dir", L"in the registry's directory");
    const auto lines = tarn_test::ReadLogLines(logDir + L"\\host-adaptor.log");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"Test::Dir: in the registry's directory"));
}

TEST_F(InitTest, SecondStartIsRefusedAndChangesNothing) {
    SetLevelText(L"V");
    StartLog(L"first-adaptor.log");
    tarn_test::ScopedTempDir other;
    EXPECT_EQ(-2, InitLogFile(L"second-adaptor.log", kLevelValue, other.path().c_str()));
    EXPECT_EQ(LogPath(), adaptor_log_testing::CurrentLogPath());
    WriteLog(LOG_INFO, "Test::Twice", L"still the first file");
    EXPECT_EQ(1u, Lines().size());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(other.Join(L"second-adaptor.log").c_str()));
}

TEST_F(InitTest, AnExistingLogIsAppendedTo) {
    SetLevelText(L"V");
    fileName_ = L"old-adaptor.log";
    {
        win::UniqueFile file(_wfopen(LogPath().c_str(), L"wb"));
        ASSERT_TRUE(file);
        std::fputs("earlier line\r\n", file.get());
    }
    StartLog(fileName_);
    WriteLog(LOG_INFO, "Test::Append", L"new line");
    const auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(L"earlier line", lines[0]);
    EXPECT_NE(std::wstring::npos, lines[1].find(L"Test::Append: new line"));
}

TEST_F(InitTest, LinesAreDroppedUntilTheFileCanBeOpened) {
    SetLevelText(L"V");
    // The sub-directory does not exist yet, so the file cannot be opened.
    StartLog(L"later\\late-adaptor.log");
    WriteLog(LOG_INFO, "Test::Late", L"dropped");
    ASSERT_TRUE(CreateDirectoryW(dir_.Join(L"later").c_str(), nullptr));
    WriteLog(LOG_INFO, "Test::Late", L"written");
    const auto lines = Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"Test::Late: written"));
}

}  // namespace
}  // namespace log_test
