#include "log/AdaptorLog.h"

#include <gtest/gtest.h>

namespace {

TEST(BaseNameWithoutExtension, LowerCasesTheFileNameAndDropsItsDirectory) {
    EXPECT_EQ(L"myapp", BaseNameWithoutExtension(L"C:\\Prog\\MyApp.EXE"));
    EXPECT_EQ(L"file.txt", BaseNameWithoutExtension(L"C:\\dir.exe\\File.TXT"));
    EXPECT_EQ(L"", BaseNameWithoutExtension(L"C:\\Prog\\"));
}

TEST(BaseNameWithoutExtension, RemovesEveryExeAndDllAnywhereInTheName) {
    EXPECT_EQ(L"a.b", BaseNameWithoutExtension(L"a.exe.b.exe"));
    EXPECT_EQ(L"tarnstub", BaseNameWithoutExtension(L"C:\\Windows\\TarnStub.DLL"));
    EXPECT_EQ(L"xfoo", BaseNameWithoutExtension(L"x.dllfoo"));
    EXPECT_EQ(L"host", BaseNameWithoutExtension(L"host.dll.exe"));
    // One pass over the text: what the removal joins together stays.
    EXPECT_EQ(L".exe", BaseNameWithoutExtension(L".e.exexe"));
}

TEST(BaseNameWithoutExtension, TakesTheWholeTextWithoutBackslash) {
    EXPECT_EQ(L"plain", BaseNameWithoutExtension(L"Plain.exe"));
    EXPECT_EQ(L"c:/unix/style", BaseNameWithoutExtension(L"C:/Unix/Style"));
    EXPECT_EQ(L"", BaseNameWithoutExtension(L""));
}

TEST(WriteLogBeforeStart, WritesNothingAndDoesNotFail) {
    WriteLog(LOG_ERROR, "Test::Before", L"not written %d", 1);
    WriteLog(LOG_ERROR, nullptr, nullptr);
    EXPECT_TRUE(adaptor_log_testing::CurrentLogPath().empty());
    EXPECT_EQ(4, adaptor_log_testing::CurrentTraceLevel());
}

}  // namespace
