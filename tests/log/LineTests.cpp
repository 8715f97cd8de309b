#include "LogFixture.h"

#include <thread>

namespace log_test {
namespace {

class LogLineTest : public LogFileTest {
protected:
    static LineParts Parse(const std::wstring& line) {
        LineParts parts;
        EXPECT_TRUE(ParseLine(line, parts)) << Narrow(line.substr(0, 200));
        return parts;
    }
};

std::string LocalTimeText() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u%02u%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

TEST_F(LogLineTest, LineHasTimeLevelThreadFunctionAndMessage) {
    SetLevelText(L"V");
    StartLog();
    const std::string before = LocalTimeText();
    WriteLog(LOG_VERBOSE, "TarnAdaptor::Start", L"Called");
    WriteLog(LOG_INFO, "TarnAdaptor::Register", L"bladeType: %d, name: %s, hr: 0x%08x", 1001,
             L"wide text", 0x80580004u);
    const std::string after = LocalTimeText();

    const auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    const LineParts first = Parse(lines[0]);
    const LineParts second = Parse(lines[1]);
    EXPECT_LE(before, first.time);
    EXPECT_LE(first.time, second.time);
    EXPECT_LE(second.time, after);
    EXPECT_EQ("V", first.letter);
    EXPECT_EQ(ThreadField(GetCurrentThreadId()), first.thread);
    EXPECT_EQ("TarnAdaptor::Start", first.function);
    EXPECT_EQ("Called", first.message);
    EXPECT_EQ("I", second.letter);
    EXPECT_EQ("TarnAdaptor::Register", second.function);
    EXPECT_EQ("bladeType: 1001, name: wide text, hr: 0x80580004", second.message);
    // The stored form: one blank between the fields, CR LF after each line.
    EXPECT_EQ(first.time + " V " + first.thread + " TarnAdaptor::Start: Called\r\n" +
                  second.time + " I " + second.thread +
                  " TarnAdaptor::Register: bladeType: 1001, name: wide text, hr: 0x80580004\r\n",
              Bytes());
}

TEST_F(LogLineTest, LevelLettersFollowTheLevelTable) {
    SetLevelText(L"C");
    StartLog();
    for (int level : {0, 1, 2, 3, 4, 5, 6, -1}) WriteLog(level, "Test::Letters", L"level %d", level);

    const auto lines = Lines();
    const char* expected[][2] = {{"O", "level 0"}, {"E", "level 1"},  {"W", "level 2"},
                                 {"I", "level 3"}, {"V", "level 4"},  {"C", "level 5"},
                                 {"X", "level -1"}};
    ASSERT_EQ(7u, lines.size());  // level 6 is above the trace level
    for (size_t i = 0; i < lines.size(); ++i) {
        const LineParts parts = Parse(lines[i]);
        EXPECT_EQ(expected[i][0], parts.letter);
        EXPECT_EQ(expected[i][1], parts.message);
    }
}

TEST_F(LogLineTest, PercentSignsInArgumentsAreWrittenLiterally) {
    SetLevelText(L"V");
    StartLog();
    WriteLog(LOG_ERROR, "Test::Percent", L"path=%s", L"C:\\a%sb%d%%n%n");
    WriteLog(LOG_ERROR, "Test::Percent", L"100%% done");

    const auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("path=C:\\a%sb%d%%n%n", Parse(lines[0]).message);
    EXPECT_EQ("100% done", Parse(lines[1]).message);
}

TEST_F(LogLineTest, LongMessagesAreWrittenWhole) {
    SetLevelText(L"V");
    StartLog();
    const std::wstring payload(20000, L'z');
    WriteLog(LOG_INFO, "Test::Long", L"<%s>", payload.c_str());
    WriteLog(LOG_INFO, "Test::Long", L"next");

    const auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("<" + std::string(20000, 'z') + ">", Parse(lines[0]).message);
    EXPECT_EQ("next", Parse(lines[1]).message);
}

TEST_F(LogLineTest, CharactersTheLocaleCannotHoldDoNotCutTheLine) {
    SetLevelText(L"V");
    StartLog();
    WriteLog(LOG_INFO, "Test::Wide", L"name=%s end", L"a\x00e9\x0416\x4E2D" L"b");
    WriteLog(LOG_INFO, "Test::Wide", L"next");

    // In the runtime's default locale a character up to 0xFF is one byte;
    // the others cannot be represented.
    const auto lines = Lines();
    ASSERT_EQ(2u, lines.size());
    const std::wstring expected = L"Test::Wide: name=a\x00e9??b end";
    ASSERT_GE(lines[0].size(), expected.size());
    EXPECT_EQ(expected, lines[0].substr(lines[0].size() - expected.size()));
    EXPECT_EQ("next", Parse(lines[1]).message);
}

TEST_F(LogLineTest, LinesFromManyThreadsStayWholeAndCarryTheirThread) {
    SetLevelText(L"V");
    StartLog();
    constexpr int kThreads = 4;
    constexpr int kLinesEach = 150;
    std::vector<std::thread> threads;
    std::vector<DWORD> ids(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &ids] {
            ids[t] = GetCurrentThreadId();
            for (int i = 0; i < kLinesEach; ++i) {
                WriteLog(LOG_VERBOSE, "Test::Threads", L"thread %d line %d %s", t, i,
                         L"some text to make the line longer");
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = Lines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLinesEach), lines.size());
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        const LineParts parts = Parse(line);
        int t = -1;
        int i = -1;
        ASSERT_EQ(2, std::sscanf(parts.message.c_str(), "thread %d line %d", &t, &i))
            << parts.message;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(next[t]++, i);
        EXPECT_EQ(ThreadField(ids[t]), parts.thread);
    }
}

}  // namespace
}  // namespace log_test
