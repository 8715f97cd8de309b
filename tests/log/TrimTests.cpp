#include "LogFixture.h"

#include "win/raii.h"

namespace log_test {
namespace {

class TrimTest : public LogFileTest {
protected:
    // Fills the file with numbered lines of varied length, then starts the
    // log on it; returns the bytes written.
    std::string StartOnSeed(const std::wstring& fileName, int count) {
        fileName_ = fileName;
        std::string content;
        for (int i = 0; i < count; ++i)
            content += "seed " + std::to_string(i) + " " +
                       std::string(10u + i % 7 * 3, 'a' + i % 26) + "\r\n";
        {
            win::UniqueFile file(_wfopen(LogPath().c_str(), L"wb"));
            EXPECT_TRUE(file && std::fwrite(content.data(), 1, content.size(), file.get()));
        }
        StartLog(fileName);
        return content;
    }
};

TEST_F(TrimTest, KeepsTheLinesAfterTheFirstLineBreakAtOrAfterTheCut) {
    SetLevelText(L"V");
    // The cut falls at the first byte of seed line "line" + offset.
    const struct { int line, offset, firstKept; } cases[] = {
        {20, 0, 21},   // a line that begins at the cut goes too
        {20, 4, 21},   // inside a line
        {20, -2, 20},  // on the CR before the line
        {20, -1, 20},  // on the LF before the line
        {1, 0, 2}};
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("cut at line " + std::to_string(c.line) + " + " + std::to_string(c.offset));
        const std::string seed = StartOnSeed(L"trim-" + std::to_wstring(run++), 40);
        // A first line with the limits out of reach tells how long the
        // trigger line will be: the layout has fixed widths.
        adaptor_log_testing::OverrideLimits(0xFFFFFFFF, 0x7FFFFFFF);
        WriteLog(LOG_INFO, "Test::Trim", L"same length");
        const std::string before = Bytes();
        ASSERT_EQ(0u, before.find(seed));
        const size_t lineLength = before.size() - seed.size();

        const size_t cut = seed.find("seed " + std::to_string(c.line) + " ") + c.offset;
        const size_t total = before.size() + lineLength;
        adaptor_log_testing::OverrideLimits(static_cast<DWORD>(total - 1),
                                            static_cast<DWORD>(total - cut));
        WriteLog(LOG_INFO, "Test::Trim", L"same length");

        const std::string after = Bytes();
        ASSERT_GE(after.size(), lineLength);
        const std::string trigger = after.substr(after.size() - lineLength);
        ASSERT_EQ(lineLength - 13, trigger.find("same length\r\n"));
        const std::string untrimmed = before + trigger;
        EXPECT_EQ(untrimmed.substr(untrimmed.find('\n', cut) + 1), after);
        EXPECT_EQ(0u, after.find("seed " + std::to_string(c.firstKept) + " "));
        EXPECT_FALSE(FileExists(LogPath() + L".tmp"));

        WriteLog(LOG_INFO, "Test::Trim", L"goes on");
        EXPECT_EQ("goes on", Parse(Lines().back()).message);
    }
}

TEST_F(TrimTest, FailedReplaceKeepsTheOldLogAndLoggingGoesOn) {
    SetLevelText(L"V");
    const std::string seed = StartOnSeed(L"held-adaptor.log", 60);
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(seed.size() / 2),
                                        static_cast<DWORD>(seed.size() / 4));
    {
        // Another program holds the temporary file without delete sharing:
        // the trimmed copy can be written but not moved into the log's place.
        win::UniqueHandle holder(CreateFileW((LogPath() + L".tmp").c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder);
        WriteLog(LOG_INFO, "Test::Held", L"first while held");
        WriteLog(LOG_INFO, "Test::Held", L"second while held");
        EXPECT_EQ(0u, Bytes().find(seed)) << "the old log must stay whole";
        const auto lines = Lines();
        ASSERT_EQ(62u, lines.size());
        EXPECT_EQ("first while held", Parse(lines[60]).message);
        EXPECT_EQ("second while held", Parse(lines[61]).message);
    }
    WriteLog(LOG_INFO, "Test::Held", L"after release");

    const std::string bytes = Bytes();
    EXPECT_LT(bytes.size(), seed.size() / 2);
    EXPECT_EQ(std::string::npos, bytes.find("seed 0 "));
    const auto lines = Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ("first while held", Parse(lines[lines.size() - 3]).message);
    EXPECT_EQ("second while held", Parse(lines[lines.size() - 2]).message);
    EXPECT_EQ("after release", Parse(lines.back()).message);
    EXPECT_FALSE(FileExists(LogPath() + L".tmp"));
}

}  // namespace
}  // namespace log_test
