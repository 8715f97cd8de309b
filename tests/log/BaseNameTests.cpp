#include "log/AdaptorLog.h"

#include <gtest/gtest.h>

namespace {

TEST(BaseNameWithoutExtension, LowerCaseFileNameWithEveryExeAndDllRemoved) {
    const wchar_t* const cases[][2] = {
        {L"C:\\Prog\\MyApp.EXE", L"myapp"},
        {L"C:\\Prog\\", L""},
        {L"", L""},
        {L"C:\\dir.exe\\File.TXT", L"file.txt"},  // only the last component
        {L"a.exe.b.exe", L"a.b"},
        {L"x.dllfoo", L"xfoo"},
        {L"host.dll.exe", L"host"},
        {L"C:\\Windows\\TarnStub.DLL", L"tarnstub"},
        {L".e.exexe", L".exe"},                // one pass: what the removal joins stays
        {L"C:/Unix/Style", L"c:/unix/style"},  // no backslash: the whole text
    };
    for (const auto& c : cases) EXPECT_EQ(c[1], BaseNameWithoutExtension(c[0])) << c[0];
}

}  // namespace
