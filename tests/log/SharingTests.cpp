// One log file, two processes: the test program and a child copy of it.
#include "ChildProcess.h"
#include "LogFixture.h"

#include "log/LogCoordination.h"

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
    // log once start is set; waits until it has started the log. The child
    // names the log's directory as directory says (by default as the test
    // does).
    std::unique_ptr<ChildProcess> StartWriter(int count, const NamedEvent& start, DWORD logLimit = 0,
                                              DWORD logTrunc = 0, std::wstring directory = std::wstring()) {
        if (directory.empty()) directory = dir_.path();
        NamedEvent ready;
        auto child =
            std::make_unique<ChildProcess>(L"write \"" + directory + L"\" " + fileName_ + L" child " +
                                               std::to_wstring(count) + L" " + std::to_wstring(logLimit) + L" " +
                                               std::to_wstring(logTrunc) + L" " + ready.name() + L" " + start.name(),
                                           false);
        EXPECT_TRUE(child->started());
        EXPECT_TRUE(ready.Wait(kChildWaitMs));
        return child;
    }

    // Checks that what is left of each writer's lines after the trims is an
    // unbroken run up to its last line (count): a trim drops only the oldest.
    void ExpectNewestLinesOfEach(int count) const {
        // A writer that finished first may have had all its lines cut.
        const auto numbers = LineNumbersByTag();
        EXPECT_FALSE(numbers.empty());
        for (const auto& [tag, found] : numbers) {
            SCOPED_TRACE(tag);
            for (size_t i = 0; i < found.size(); ++i) {
                ASSERT_EQ(count - static_cast<int>(found.size() - i), found[i]);
            }
        }
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

    EXPECT_LE(FileLength(), kLimit + 1024);
    ExpectNewestLinesOfEach(kLines);
    // A log that the child replaced last stays open through the parent's
    // handle, under a side name, until the parent's next line lets it go.
    WriteLog(LOG_INFO, "Test::Parent", L"done");
    EXPECT_EQ(std::vector<std::wstring>(), SideFiles());
}

// The same directory under another name: Wine's drive Z: reaches every file
// of the machine by its Unix path. Writers in other sessions name the log
// alike but cannot share a session's named objects; a writer that names it
// differently cannot share a block named after the path either. Empty when
// there is no second name.
std::wstring OtherNameOf(const std::wstring& directory) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(directory.c_str()) : nullptr;
    if (name == nullptr) return std::wstring();
    std::wstring other = L"Z:";
    for (const char* c = name; *c; ++c) other.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    HeapFree(GetProcessHeap(), 0, name);
    return other;
}

TEST_F(SharedLogTest, WritersThatShareNoNamespaceStillShareTheLockThroughTrims) {
    constexpr int kLines = 6000;
    constexpr DWORD kLimit = 64 * 1024, kTrunc = 32 * 1024;
    const std::wstring otherName = OtherNameOf(dir_.path());
    if (otherName.empty()) GTEST_SKIP() << "no second name for the directory";
    StartLog(L"namespaces-adaptor.log");
    adaptor_log_testing::OverrideLimits(kLimit, kTrunc);
    NamedEvent start;
    auto child = StartWriter(kLines, start, kLimit, kTrunc, otherName);
    start.Set();
    WriteLines(L"parent", kLines);
    ASSERT_EQ(0u, child->Wait(kChildWaitMs));
    EXPECT_GT(adaptor_log_testing::TrimCopiesStarted(), 0u);
    ExpectNewestLinesOfEach(kLines);
    WriteLog(LOG_INFO, "Test::Parent", L"done");
    EXPECT_EQ(std::vector<std::wstring>(), SideFiles());
}

TEST_F(SharedLogTest, AStuckHolderOfTheLockDelaysOneLineOnlyAndIsTakenOverOnceGone) {
    StartLog(L"stuck-adaptor.log");
    NamedEvent ready, release;
    ChildProcess holder(L"holdlock \"" + LogPath() + L"\" " + ready.name() + L" " + release.name(), false);
    ASSERT_TRUE(holder.started());
    ASSERT_TRUE(ready.Wait(kChildWaitMs));

    // Every line is written; only the first one waits for the holder.
    // That one wait is bounded: a few seconds, not the time a trim of the
    // largest log could take.
    constexpr int kLines = 20;
    int longWaits = 0;
    ULONGLONG longest = 0;
    for (int i = 0; i < kLines; ++i) {
        const ULONGLONG before = GetTickCount64();
        WriteLog(LOG_INFO, "Test::Child", L"parent line %d", i);
        const ULONGLONG waited = GetTickCount64() - before;
        if (waited >= 1000) ++longWaits;
        longest = std::max(longest, waited);
    }
    EXPECT_EQ(1, longWaits);
    EXPECT_LT(longest, 10000u);
    const auto numbers = LineNumbersByTag();
    ASSERT_EQ(1u, numbers.count("parent"));
    EXPECT_EQ(static_cast<size_t>(kLines), numbers.at("parent").size());

    // Once the holder is gone its lock is taken over: the next trim, which
    // only a holder of the lock makes, happens.
    release.Set();
    ASSERT_EQ(0u, holder.Wait(kChildWaitMs));
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(FileLength() / 2), static_cast<DWORD>(FileLength() / 4));
    for (int i = 0; i < 50 && adaptor_log_testing::TrimCopiesStarted() == 0; ++i) {
        WriteLog(LOG_INFO, "Test::Child", L"parent line %d", kLines + i);
        Sleep(100);
    }
    EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
}

TEST_F(SharedLogTest, ATrimCopyingLongerThanAWriterWaitsLosesNoLineOfTheOtherWriter) {
    constexpr int kLines = 3000;
    StartLog(L"slowtrim-adaptor.log");
    WriteLines(L"parent", 400);
    NamedEvent start;
    auto child = StartWriter(kLines, start);
    // The trim's copy takes longer than any writer waits for the lock.
    adaptor_log_testing::DelayUnlockedCopy(adaptor_log::kCoordinationWaitMs + 1000);
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(FileLength() / 2), static_cast<DWORD>(FileLength() / 4));
    start.Set();
    WriteLog(LOG_INFO, "Test::Child", L"parent line %d", 400);
    adaptor_log_testing::DelayUnlockedCopy(0);
    EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
    adaptor_log_testing::OverrideLimits(0xFFFFFFFF, 0x80000000);
    ASSERT_EQ(0u, child->Wait(kChildWaitMs));
    for (int i = 401; i < kLines; ++i) WriteLog(LOG_INFO, "Test::Child", L"parent line %d", i);
    ExpectNewestLinesOfEach(kLines);
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
