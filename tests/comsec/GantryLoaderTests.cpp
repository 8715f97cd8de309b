// The stub-side loader of GANTRY.dll and the module's resolver.
#include "ComsecTestSupport.h"

#include "comsec/GantryLoader.h"

using namespace comsec_test;

namespace {

unsigned __stdcall DoNothing(void*) { return 0; }

// The monitor's own thread runs through StartNamedThread: its tests show
// that started threads run.
TEST(GantryLoader, LoadsByFullPathAndHandsOutItsEntriesOnlyByOrdinal) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    HMODULE module = ::GetModuleHandleW(L"GANTRY.dll");
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH * 2);
    EXPECT_EQ(0, _wcsicmp(path, (ExeDirectory() + L"\\GANTRY.dll").c_str()));
    EXPECT_FALSE(::GetProcAddress(module, "GantryResolve") || ::GetProcAddress(module, "IsPEFileValidExT"));

    auto resolve =
        reinterpret_cast<GANTRY_RESOLVE>(reinterpret_cast<void*>(::GetProcAddress(module, MAKEINTRESOURCEA(1))));
    ASSERT_NE(resolve, nullptr);
    GANTRY_ENTRIES_V1 entries{};
    for (ULONG version : {0u, 2u}) EXPECT_FALSE(resolve(version, &entries, sizeof entries));
    EXPECT_FALSE(resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries - 1));
    EXPECT_FALSE(resolve(GANTRY_ENTRIES_VERSION_1, nullptr, sizeof entries));
    EXPECT_EQ(entries.IsPEFileValidExT, nullptr);  // untouched by refusals
    ASSERT_TRUE(resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries));
    EXPECT_EQ(entries.size, sizeof entries);
    EXPECT_TRUE(entries.IsPEFileValidExT && entries.GetMonitorEventAttributes && entries.GetMonitorThreadAttributes &&
                entries.StartNamedThread);
    EXPECT_FALSE(entries.IsPEFileValidExT(nullptr, 1, 9));  // a null path must not crash

    SECURITY_ATTRIBUTES event{}, thread{};  // the monitor's handles are not inherited
    event.bInheritHandle = thread.bInheritHandle = TRUE;
    ASSERT_TRUE(gantry.GetMonitorEventAttributes(event));
    ASSERT_TRUE(gantry.GetMonitorThreadAttributes(thread));
    EXPECT_EQ(event.nLength, sizeof event);
    EXPECT_FALSE(event.bInheritHandle || thread.bInheritHandle);
    EXPECT_EQ(nullptr, gantry.StartNamedThread(nullptr, nullptr, nullptr, L"x"));
}

// An empty directory, or a DLL that carries the name but gives no table
// through ordinal 1, is no start-up support: every check answers "refused".
TEST(GantryLoader, FailsClosedWithoutTheRealModule) {
    TempDirectory impostor;
    ASSERT_TRUE(::CopyFileW(SystemFile(L"version.dll").c_str(), impostor.File(L"GANTRY.dll").c_str(), FALSE));
    TempDirectory empty;
    for (const std::wstring& directory : {empty.path(), impostor.path(), std::wstring()}) {
        comsec::CGantry gantry;
        EXPECT_FALSE(gantry.LoadFromDirectory(directory));
        EXPECT_FALSE(gantry.Loaded());
        EXPECT_FALSE(gantry.IsPEFileValidExT(SystemFile(L"kernel32.dll"), 1, 9));
        SECURITY_ATTRIBUTES attributes{};
        EXPECT_FALSE(gantry.GetMonitorEventAttributes(attributes));
        EXPECT_EQ(nullptr, gantry.StartNamedThread(nullptr, &DoNothing, nullptr, L"x"));
    }
}

}  // namespace
