#include "LogFixture.h"

#include "win/raii.h"


namespace log_test {
namespace {

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class TrimTest : public LogFileTest {
protected:
    // Fills the log file with numbered lines of varied length before the log
    // starts; returns the bytes written.
    std::string SeedLog(const std::wstring& fileName, int count) {
        fileName_ = fileName;
        std::string content;
        for (int i = 0; i < count; ++i) {
            content += "seed " + std::to_string(i) + " " +
                       std::string(static_cast<size_t>(10 + i % 7 * 3), static_cast<char>('a' + i % 26)) +
                       "\r\n";
        }
        win::UniqueFile file(_wfopen(LogPath().c_str(), L"wb"));
        EXPECT_TRUE(file);
        if (file) std::fwrite(content.data(), 1, content.size(), file.get());
        return content;
    }
    static size_t LineStart(const std::string& content, int line) {
        size_t at = 0;
        for (int i = 0; i < line; ++i) at = content.find("\r\n", at) + 2;
        return at;
    }
    std::wstring TempPath() const { return LogPath() + L".tmp"; }
};

struct CutCase {
    int line;          // seed line next to the cut
    int offset;        // cut position relative to that line's first byte
    int firstKept;     // first seed line left after the trim
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << "cut at line " << c.line << (c.offset >= 0 ? " + " : " - ") << std::abs(c.offset)
         << " keeps from line " << c.firstKept;
}

class TrimCutTest : public TrimTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(TrimCutTest, KeepsTheLinesAfterTheFirstLineBreakAtOrAfterTheCut) {
    const CutCase c = GetParam();
    SetLevelText(L"V");
    const std::string seed = SeedLog(L"trim-adaptor.log", 40);
    StartLog(fileName_);

    // A first line with the limits out of reach tells how long the trigger
    // line will be: the layout has fixed widths.
    adaptor_log_testing::OverrideLimits(0xFFFFFFFF, 0x7FFFFFFF);
    WriteLog(LOG_INFO, "Test::Trim", L"same length");
    const std::string before = Bytes();
    ASSERT_EQ(0u, before.find(seed));
    const size_t lineLength = before.size() - seed.size();

    const size_t cut = LineStart(seed, c.line) + c.offset;
    const size_t total = before.size() + lineLength;
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(total - 1), static_cast<DWORD>(total - cut));
    WriteLog(LOG_INFO, "Test::Trim", L"same length");

    const std::string after = Bytes();
    ASSERT_GE(after.size(), lineLength);
    const std::string trigger = after.substr(after.size() - lineLength);
    ASSERT_EQ(lineLength - 13, trigger.find("same length\r\n"));
    const std::string untrimmed = before + trigger;
    EXPECT_EQ(untrimmed.substr(untrimmed.find('\n', cut) + 1), after);
    EXPECT_EQ(0u, after.find("seed " + std::to_string(c.firstKept) + " ")) << after.substr(0, 40);
    EXPECT_FALSE(FileExists(TempPath()));

    WriteLog(LOG_INFO, "Test::Trim", L"goes on");
    const auto lines = Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(L"goes on", lines.back().substr(lines.back().size() - 7));
}

INSTANTIATE_TEST_SUITE_P(
    CutPoints, TrimCutTest,
    ::testing::Values(CutCase{20, 0, 21},    // a line that begins at the cut goes too
                      CutCase{20, 4, 21},    // inside a line
                      CutCase{20, -2, 20},   // on the CR before the line
                      CutCase{20, -1, 20},   // on the LF before the line
                      CutCase{1, 0, 2}));

TEST_F(TrimTest, ManyTrimsKeepWholeLinesInOrder) {
    SetLevelText(L"V");
    fileName_ = L"many-adaptor.log";
    StartLog(fileName_);
    adaptor_log_testing::OverrideLimits(20000, 12000);
    constexpr int kLines = 3000;
    for (int i = 0; i < kLines; ++i) {
        WriteLog(LOG_VERBOSE, "Test::Many", L"line %d %s", i, std::wstring(i % 50, L'x').c_str());
    }
    const std::string bytes = Bytes();
    EXPECT_LT(bytes.size(), 20000u + 200u);
    const auto lines = Lines();
    ASSERT_GT(lines.size(), 10u);
    int expected = kLines - static_cast<int>(lines.size());
    EXPECT_GT(expected, 0);
    for (const auto& line : lines) {
        LineParts parts;
        ASSERT_TRUE(ParseLine(line, parts)) << Narrow(line);
        int number = -1;
        ASSERT_EQ(1, std::sscanf(parts.message.c_str(), "line %d", &number)) << parts.message;
        EXPECT_EQ(expected++, number);
    }
}

TEST_F(TrimTest, FailedReplaceKeepsTheOldLogAndLoggingGoesOn) {
    SetLevelText(L"V");
    const std::string seed = SeedLog(L"held-adaptor.log", 60);
    StartLog(fileName_);
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(seed.size() / 2),
                                        static_cast<DWORD>(seed.size() / 4));
    {
        // Another program holds the temporary file without delete sharing:
        // the trimmed copy can be written but not moved into the log's place.
        win::UniqueHandle holder(CreateFileW(TempPath().c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        WriteLog(LOG_INFO, "Test::Held", L"first while held");
        WriteLog(LOG_INFO, "Test::Held", L"second while held");

        const std::string bytes = Bytes();
        EXPECT_EQ(0u, bytes.find(seed)) << "the old log must stay whole";
        const auto lines = Lines();
        ASSERT_EQ(62u, lines.size());
        EXPECT_NE(std::wstring::npos, lines[60].find(L"Test::Held: first while held"));
        EXPECT_NE(std::wstring::npos, lines[61].find(L"Test::Held: second while held"));
    }
    WriteLog(LOG_INFO, "Test::Held", L"after release");

    const std::string bytes = Bytes();
    EXPECT_LT(bytes.size(), seed.size() / 2);
    EXPECT_EQ(std::string::npos, bytes.find("seed 0 "));
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(std::wstring::npos, lines[lines.size() - 3].find(L"first while held"));
    EXPECT_NE(std::wstring::npos, lines[lines.size() - 2].find(L"second while held"));
    EXPECT_NE(std::wstring::npos, lines.back().find(L"after release"));
    EXPECT_FALSE(FileExists(TempPath()));
}

}  // namespace
}  // namespace log_test
