// One log file, two processes: the test program and a child copy of it.
#include "ChildProcess.h"
#include "LogFixture.h"

#include <map>

namespace log_test {
namespace {

class SharedLogTest : public LogFileTest {
protected:
    void SetUp() override {
        LogFileTest::SetUp();
        SetLevelText(L"V");
    }

    // Starts a child that writes count lines tagged "child" into this test's
    // log once start is set; waits until it has started the log.
    std::unique_ptr<ChildProcess> StartWriter(int count, const NamedEvent& start, DWORD logLimit = 0,
                                              DWORD logTrunc = 0) {
        NamedEvent ready;
        auto child = std::make_unique<ChildProcess>(
            L"write \"" + dir_.path() + L"\" " + fileName_ + L" child " + std::to_wstring(count) + L" " +
                std::to_wstring(logLimit) + L" " + std::to_wstring(logTrunc) + L" " + ready.name() + L" " +
                start.name(),
            false);
        EXPECT_TRUE(child->started());
        EXPECT_TRUE(ready.Wait(kChildWaitMs));
        return child;
    }

    // The numbers of the lines "<tag> line <n>" in file order, by tag. Fails
    // the test if any line has another form: a split or overwritten line.
    std::map<std::string, std::vector<int>> LineNumbersByTag() const {
        static const std::regex whole(
            R"(^\d{8} \d{2}:\d{2}:\d{2}\.\d{3} I +[0-9a-f]+ Test::Child: (parent|child) line (\d+)$)");
        std::map<std::string, std::vector<int>> numbers;
        size_t broken = 0;
        for (const auto& wide : Lines()) {
            const std::string line(wide.begin(), wide.end());
            std::smatch m;
            if (!std::regex_match(line, m, whole)) {
                if (broken++ == 0) ADD_FAILURE() << "not a whole line: " << line.substr(0, 200);
                continue;
            }
            numbers[m[1].str()].push_back(std::stoi(m[2].str()));
        }
        EXPECT_EQ(0u, broken) << "lines split or overwritten";
        return numbers;
    }
};

void WriteLines(const wchar_t* tag, int count) {
    for (int i = 0; i < count; ++i) WriteLog(LOG_INFO, "Test::Child", L"%s line %d", tag, i);
}

TEST_F(SharedLogTest, TwoProcessesWritingOneLogLoseNoLineAndSplitNone) {
    constexpr int kLines = 20000;
    StartLog(L"shared-adaptor.log");
    NamedEvent start;
    auto child = StartWriter(kLines, start);
    start.Set();
    WriteLines(L"parent", kLines);
    ASSERT_EQ(0u, child->Wait(kChildWaitMs));

    const auto numbers = LineNumbersByTag();
    for (const char* tag : {"parent", "child"}) {
        SCOPED_TRACE(tag);
        const auto found = numbers.find(tag);
        ASSERT_NE(numbers.end(), found);
        ASSERT_EQ(static_cast<size_t>(kLines), found->second.size());
        for (int i = 0; i < kLines; ++i) ASSERT_EQ(i, found->second[static_cast<size_t>(i)]);
    }
}

TEST_F(SharedLogTest, TwoProcessesTrimmingOneLogKeepTheNewestLinesOfBoth) {
    // A trim every few hundred lines, in either process.
    constexpr int kLines = 6000;
    constexpr DWORD kLimit = 64 * 1024, kTrunc = 32 * 1024;
    StartLog(L"trimmed-adaptor.log");
    adaptor_log_testing::OverrideLimits(kLimit, kTrunc);
    NamedEvent start;
    auto child = StartWriter(kLines, start, kLimit, kTrunc);
    start.Set();
    WriteLines(L"parent", kLines);
    ASSERT_EQ(0u, child->Wait(kChildWaitMs));
    EXPECT_GT(adaptor_log_testing::TrimCopiesStarted(), 0u);

    // A trim drops the oldest lines: what is left of each writer is an
    // unbroken run up to its last line.
    const auto numbers = LineNumbersByTag();
    EXPECT_LE(FileLength(), kLimit + 1024);
    for (const auto& [tag, found] : numbers) {
        SCOPED_TRACE(tag);
        for (size_t i = 0; i < found.size(); ++i) {
            ASSERT_EQ(kLines - static_cast<int>(found.size() - i), found[i]);
        }
    }
    EXPECT_FALSE(numbers.empty());
    // A log that the child replaced last stays open through the parent's
    // handle, under a side name, until the parent's next line lets it go.
    WriteLog(LOG_INFO, "Test::Parent", L"done");
    EXPECT_EQ(std::vector<std::wstring>(), SideFiles());
}

TEST_F(SharedLogTest, AChildProcessInheritsNoHandleOfTheLog) {
    StartLog(L"inherit-adaptor.log");
    for (int i = 0; i < 200; ++i) WriteLog(LOG_INFO, "Test::Parent", L"before the child %d", i);
    NamedEvent release;
    ChildProcess child(L"hold " + release.name(), true);
    ASSERT_TRUE(child.started());

    // With an inherited handle the child would keep the log from being
    // replaced.
    const ULONGLONG length = FileLength();
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(length), static_cast<DWORD>(length / 2));
    WriteLog(LOG_INFO, "Test::Parent", L"trim now");
    EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
    EXPECT_LT(FileLength(), length);
    EXPECT_EQ("trim now", Parse(Lines().back()).message);
    release.Set();
    EXPECT_EQ(0u, child.Wait(kChildWaitMs));
}

}  // namespace
}  // namespace log_test
