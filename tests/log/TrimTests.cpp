#include "LogFixture.h"

#include "win/raii.h"

namespace log_test {
namespace {

using adaptor_log_testing::CopyFault;

constexpr char kFunction[] = "Test::Trim";

// Numbered lines of varied length. With oddBytes every third line also holds
// bytes that a text-mode read stumbles over: Ctrl-Z, NUL, a lone CR and bytes
// above 0x7F.
std::string SeedLines(int count, bool oddBytes = false) {
    std::string content;
    for (int i = 0; i < count; ++i) {
        content += "seed " + std::to_string(i) + " " + std::string(10u + i % 7 * 3, static_cast<char>('a' + i % 26));
        if (oddBytes && i % 3 == 0) content += std::string("<\x1A\0\r\xFF\x80\x1A>", 8);
        content += "\r\n";
    }
    return content;
}

// What a trim that cuts untrimmed at cut keeps.
std::string KeptPart(const std::string& untrimmed, size_t cut) {
    const size_t lineBreak = untrimmed.find('\n', cut);
    return lineBreak == std::string::npos ? std::string() : untrimmed.substr(lineBreak + 1);
}

class TrimTest : public LogFileTest {
protected:
    void SetUp() override {
        LogFileTest::SetUp();
        SetLevelText(L"V");
    }

    // Writes content into a new file, after a gap of gapBytes that takes no
    // disk space, and starts the log on it.
    void StartOn(const std::wstring& fileName, const std::string& content, ULONGLONG gapBytes = 0) {
        fileName_ = fileName;
        win::UniqueHandle file(
            CreateFileW(LogPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        LARGE_INTEGER gap;
        gap.QuadPart = static_cast<LONGLONG>(gapBytes);
        ASSERT_TRUE(SetFilePointerEx(file.get(), gap, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        ASSERT_EQ(content.size(), written);
        file.reset();
        StartLog(fileName);
    }

    // Sets the limits so that the line message takes the log past its limit
    // and the trim cuts the file at offset cut, then writes the line.
    // Returns the line as stored.
    std::string WriteLineThatTrimsAt(ULONGLONG cut, const std::string& message) {
        const ULONGLONG total = FileLength() + StoredLength(kFunction, message);
        adaptor_log_testing::OverrideLimits(static_cast<DWORD>(std::min<ULONGLONG>(total - 1, 0xFFFFFFFF)),
                                            static_cast<DWORD>(total - cut));
        const std::wstring text(message.begin(), message.end());
        WriteLog(LOG_INFO, kFunction, L"%s", text.c_str());
        const size_t length = StoredLength(kFunction, message);
        const std::string line = Tail(length);
        EXPECT_EQ(length - message.size() - 2, line.find(message + "\r\n"));
        return line;
    }

    // The last bytes of the log (all of it if it is shorter).
    std::string Tail(size_t bytes) const {
        win::UniqueHandle file(CreateFileW(LogPath().c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER back;
        back.QuadPart = -static_cast<LONGLONG>(std::min<ULONGLONG>(bytes, FileLength()));
        std::string tail(static_cast<size_t>(-back.QuadPart), '\0');
        DWORD read = 0;
        if (!file || !SetFilePointerEx(file.get(), back, nullptr, FILE_END) ||
            !ReadFile(file.get(), &tail[0], static_cast<DWORD>(tail.size()), &read, nullptr)) {
            ADD_FAILURE() << "the log cannot be read";
        }
        tail.resize(read);
        return tail;
    }
};

TEST_F(TrimTest, KeepsTheLinesAfterTheFirstLineBreakAtOrAfterTheCut) {
    // The cut falls at the first byte of seed line "line" + offset.
    const struct {
        int line, offset, firstKept;
    } cases[] = {{20, 0, 21},   // a line that begins at the cut goes too
                 {20, 4, 21},   // inside a line
                 {20, -2, 20},  // on the CR before the line
                 {20, -1, 20},  // on the LF before the line
                 {1, 0, 2}};
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("cut at line " + std::to_string(c.line) + " + " + std::to_string(c.offset));
        const std::string seed = SeedLines(40);
        StartOn(L"trim-" + std::to_wstring(run++), seed);
        const size_t cut = seed.find("seed " + std::to_string(c.line) + " ") + c.offset;
        const std::string trigger = WriteLineThatTrimsAt(cut, "trigger");

        const std::string after = Bytes();
        EXPECT_EQ(KeptPart(seed + trigger, cut), after);
        EXPECT_EQ(0u, after.find("seed " + std::to_string(c.firstKept) + " "));
        EXPECT_TRUE(SideFiles().empty());
        EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());

        WriteLog(LOG_INFO, kFunction, L"goes on");
        EXPECT_EQ("goes on", Parse(Lines().back()).message);
    }
}

TEST_F(TrimTest, KeepsEveryByteAfterTheCutCtrlZIncluded) {
    const std::string seed = SeedLines(40, true);
    StartOn(L"ctrlz-adaptor.log", seed);
    // A blade's text goes into its line verbatim.
    WriteLog(LOG_VERBOSE, kFunction, L"Payload collected, type: %s",
             L"type\x1A"
             L"end");
    for (int i = 0; i < 3; ++i) WriteLog(LOG_VERBOSE, kFunction, L"after %d", i);
    const std::string before = Bytes();
    ASSERT_NE(std::string::npos, before.find("type: type\x1A"
                                             "end\r\n"));

    const size_t cut = seed.find("seed 12 ") + 3;
    const std::string trigger = WriteLineThatTrimsAt(cut, "trigger");
    EXPECT_EQ(KeptPart(before + trigger, cut), Bytes());
    EXPECT_TRUE(SideFiles().empty());
}

TEST_F(TrimTest, TrimsLogsLongerThanTwoAndFourGibibytes) {
    // The gap before the lines takes no disk space; the limit is just below
    // the length, so both it and the length are above 2^31.
    const ULONGLONG gaps[] = {0x80000000ull, 0x100000000ull};
    int run = 0;
    for (ULONGLONG gap : gaps) {
        SCOPED_TRACE(gap);
        const std::string seed = SeedLines(40);
        StartOn(L"large-" + std::to_wstring(run++), seed, gap);
        const size_t cutInSeed = seed.find("seed 30 ") + 3;
        const std::string trigger = WriteLineThatTrimsAt(gap + cutInSeed, "trigger");
        ASSERT_LT(FileLength(), seed.size() + trigger.size()) << "not trimmed";
        EXPECT_EQ(KeptPart(seed + trigger, cutInSeed), Bytes());
        EXPECT_TRUE(SideFiles().empty());
    }
}

TEST_F(TrimTest, AFailedCopyLeavesTheOldLogUntouchedAndIsRetriedLater) {
    const struct {
        CopyFault fault;
        ULONGLONG afterBytes;
    } cases[] = {
        {CopyFault::kReadError, 0},
        {CopyFault::kWriteError, 0},
        {CopyFault::kShortWrite, 100},  // the disk fills up after 100 bytes
        {CopyFault::kFlushError, 0},
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(run);
        const std::string seed = SeedLines(60);
        StartOn(L"fault-" + std::to_wstring(run++), seed);
        adaptor_log_testing::InjectCopyFault(c.fault, c.afterBytes);
        const std::string trigger = WriteLineThatTrimsAt(seed.size() / 2, "trigger");
        EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
        EXPECT_EQ(seed + trigger, Bytes());
        EXPECT_TRUE(SideFiles().empty());

        // The next line goes into the old log without another copy; once
        // the disk is fine and the retry delay has passed, the trim succeeds.
        WriteLog(LOG_INFO, kFunction, L"still logging");
        EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
        EXPECT_EQ(0u, Bytes().find(seed + trigger));
        adaptor_log_testing::InjectCopyFault(CopyFault::kNone, 0);
        adaptor_log_testing::AdvanceClock(60000);
        WriteLog(LOG_INFO, kFunction, L"after the fault");
        EXPECT_EQ(2u, adaptor_log_testing::TrimCopiesStarted());
        const auto lines = Lines();
        EXPECT_EQ(std::string::npos, Bytes().find("seed 0 "));
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ("trigger", Parse(lines[lines.size() - 3]).message);
        EXPECT_EQ("still logging", Parse(lines[lines.size() - 2]).message);
        EXPECT_EQ("after the fault", Parse(lines.back()).message);
        EXPECT_TRUE(SideFiles().empty());
    }
}

TEST_F(TrimTest, ALogHeldOpenWithoutDeleteSharingIsTrimmedAgainOnlyAfterGrowthOrAMinute) {
    const std::string seed = SeedLines(400);
    StartOn(L"held-adaptor.log", seed);
    // A viewer or scanner holds the log without delete sharing: it can be
    // copied but not replaced.
    win::UniqueHandle holder(CreateFileW(LogPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    const std::string trigger = WriteLineThatTrimsAt(seed.size() / 2, "trigger");
    EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
    EXPECT_EQ(seed + trigger, Bytes());
    EXPECT_TRUE(SideFiles().empty());

    // The next attempt waits until the log has grown by a tenth of what a
    // trim cuts.
    const adaptor_log_testing::Limits limits = adaptor_log_testing::CurrentLimits();
    const ULONGLONG failedAt = FileLength();
    const ULONGLONG growth = (limits.logLimit - limits.logTrunc) / 10;
    ASSERT_GT(growth, 4 * StoredLength(kFunction, "held 000"));
    int line = 0;
    while (FileLength() + StoredLength(kFunction, "held 000") < failedAt + growth) {
        WriteLog(LOG_INFO, kFunction, L"held %03d", line++);
        ASSERT_EQ(1u, adaptor_log_testing::TrimCopiesStarted()) << line;
    }
    WriteLog(LOG_INFO, kFunction, L"held %03d", line++);
    EXPECT_EQ(2u, adaptor_log_testing::TrimCopiesStarted());
    // Or until a minute has passed.
    WriteLog(LOG_INFO, kFunction, L"held %03d", line++);
    EXPECT_EQ(2u, adaptor_log_testing::TrimCopiesStarted());
    adaptor_log_testing::AdvanceClock(60000);
    WriteLog(LOG_INFO, kFunction, L"held %03d", line++);
    EXPECT_EQ(3u, adaptor_log_testing::TrimCopiesStarted());
    EXPECT_EQ(0u, Bytes().find(seed + trigger)) << "the old log must stay whole";

    // Released, the log is cut at the next attempt, with every line kept
    // that came after the cut.
    holder.reset();
    adaptor_log_testing::AdvanceClock(60000);
    WriteLog(LOG_INFO, kFunction, L"after release");
    EXPECT_EQ(4u, adaptor_log_testing::TrimCopiesStarted());
    EXPECT_EQ(std::string::npos, Bytes().find("seed 0 "));
    const auto lines = Lines();
    ASSERT_GE(lines.size(), static_cast<size_t>(line + 2));
    const size_t first = lines.size() - static_cast<size_t>(line) - 2;
    EXPECT_EQ("trigger", Parse(lines[first]).message);
    for (int i = 0; i < line; ++i) {
        char expected[16];
        std::snprintf(expected, sizeof(expected), "held %03d", i);
        EXPECT_EQ(expected, Parse(lines[first + 1 + static_cast<size_t>(i)]).message);
    }
    EXPECT_EQ("after release", Parse(lines.back()).message);
    EXPECT_TRUE(SideFiles().empty());
}

}  // namespace
}  // namespace log_test
