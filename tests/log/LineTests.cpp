#include "LogFixture.h"

#include <thread>

namespace log_test {
namespace {

std::string LocalTimeText() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    std::snprintf(text, sizeof(text), "%04u%02u%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond, t.wMilliseconds);
    return text;
}

TEST_F(LogFileTest, LinesAreWrittenWholeWithTimeLevelThreadFunctionAndMessage) {
    SetLevelText(L"C");
    StartLog();
    const std::string before = LocalTimeText();
    WriteLog(LOG_VERBOSE, "TarnAdaptor::Start", L"Called");
    WriteLog(LOG_INFO, "TarnAdaptor::Register", L"bladeType: %d, name: %s, hr: 0x%08x", 1001, L"wide text",
             0x80580004u);
    const std::string after = LocalTimeText();
    WriteLog(LOG_ERROR, "Test::Text", L"path=%s", L"C:\\a%sb%d%%n%n");
    WriteLog(LOG_ERROR, "Test::Text", L"100%% done");
    WriteLog(LOG_INFO, "Test::Text", L"<%s>", std::wstring(20000, L'z').c_str());
    // In the runtime's default locale a character up to 0xFF is one byte;
    // the others cannot be represented, but must not cut the line.
    WriteLog(LOG_INFO, "Test::Text", L"name=%s end",
             L"a\x00e9\x0416\x4E2D"
             L"b");
    const int levels[] = {0, 1, 2, 3, 4, 5, -1, 6};  // 6 is above the trace level
    for (int level : levels) WriteLog(level, "Test::Text", L"level %d", level);

    const auto lines = Lines();
    ASSERT_EQ(13u, lines.size());
    const LineParts first = Parse(lines[0]);
    const LineParts second = Parse(lines[1]);
    EXPECT_LE(before, first.time);
    EXPECT_LE(first.time, second.time);
    EXPECT_LE(second.time, after);
    EXPECT_EQ(ThreadField(GetCurrentThreadId()), first.thread);
    // The stored form: one blank between the fields, CR LF after each line.
    EXPECT_EQ(0u, Bytes().find(first.time + " V " + first.thread + " TarnAdaptor::Start: Called\r\n" + second.time +
                               " I " + first.thread +
                               " TarnAdaptor::Register: bladeType: 1001, "
                               "name: wide text, hr: 0x80580004\r\n"));
    EXPECT_EQ("path=C:\\a%sb%d%%n%n", Parse(lines[2]).message);
    EXPECT_EQ("100% done", Parse(lines[3]).message);
    EXPECT_EQ("<" + std::string(20000, 'z') + ">", Parse(lines[4]).message);
    EXPECT_EQ("name=a\xE9??b end", Parse(lines[5]).message);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(std::string(1, "OEWIVCX"[i]), Parse(lines[6 + i]).letter);
        EXPECT_EQ("level " + std::to_string(levels[i]), Parse(lines[6 + i]).message);
    }
    // Every line feed is stored as CR LF, also one inside a message.
    WriteLog(LOG_ERROR, "Test::Text", L"%s", L"two\nlines\r\n");
    const std::string bytes = Bytes();
    const std::string stored = "Test::Text: two\r\nlines\r\r\n\r\n";
    ASSERT_GE(bytes.size(), stored.size());
    EXPECT_EQ(stored, bytes.substr(bytes.size() - stored.size()));
}

TEST_F(LogFileTest, LinesFromManyThreadsStayWholeAndCarryTheirThread) {
    SetLevelText(L"V");
    StartLog();
    constexpr int kThreads = 4, kLinesEach = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesEach; ++i)
                WriteLog(LOG_VERBOSE, "T::Threads", L"thread %d line %d of %lx", t, i, GetCurrentThreadId());
        });
    }
    for (auto& thread : threads) thread.join();

    const auto lines = Lines();
    ASSERT_EQ(static_cast<size_t>(kThreads * kLinesEach), lines.size());
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        const LineParts parts = Parse(line);
        int t = -1, i = -1;
        unsigned long id = 0;
        ASSERT_EQ(3, std::sscanf(parts.message.c_str(), "thread %d line %d of %lx", &t, &i, &id));
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(next[t]++, i);
        EXPECT_EQ(ThreadField(id), parts.thread);
    }
}

}  // namespace
}  // namespace log_test
