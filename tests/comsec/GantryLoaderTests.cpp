// The stub-side loader of GANTRY.dll and the module's resolver.
#include "ComsecTestSupport.h"

#include "comsec/GantryLoader.h"

using namespace comsec_test;

namespace {

using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

struct HeldThread {
    DWORD threadId = 0;
    win::UniqueHandle release{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// Stays alive until released, so that its name can be read while it runs.
unsigned __stdcall WaitForRelease(void* argument) {
    auto* held = static_cast<HeldThread*>(argument);
    held->threadId = ::GetCurrentThreadId();
    ::WaitForSingleObject(held->release.get(), 10000);
    return 42;
}

unsigned __stdcall RecordThreadId(void* argument) {
    *static_cast<DWORD*>(argument) = ::GetCurrentThreadId();
    return 42;
}

GANTRY_RESOLVE ResolverOf(HMODULE module) {
    return reinterpret_cast<GANTRY_RESOLVE>(
        reinterpret_cast<void*>(::GetProcAddress(module, MAKEINTRESOURCEA(1))));
}

TEST(GantryLoader, LoadsFromThisProgramsDirectory) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    EXPECT_TRUE(gantry.Loaded());
    // The module in use is the one beside this program, by full path.
    HMODULE module = ::GetModuleHandleW(L"GANTRY.dll");
    ASSERT_NE(module, nullptr);
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH * 2);
    EXPECT_EQ(0, _wcsicmp(path, (ExeDirectory() + L"\\GANTRY.dll").c_str()));
}

TEST(GantryLoader, ModuleDirectoryIsThisProgramsDirectory) {
    static const int anchor = 0;
    EXPECT_EQ(0, _wcsicmp(comsec::DirectoryOf(comsec::ModulePathOf(&anchor)).c_str(),
                          ExeDirectory().c_str()));
    EXPECT_EQ(L"C:\\a\\b", comsec::DirectoryOf(L"C:\\a\\b\\c.dll"));
    EXPECT_EQ(L"", comsec::DirectoryOf(L"c.dll"));
}

TEST(GantryLoader, DirectoryWithoutGantryFailsClosed) {
    TempDirectory empty;
    comsec::CGantry gantry;
    EXPECT_FALSE(gantry.LoadFromDirectory(empty.path()));
    EXPECT_FALSE(gantry.Loaded());
    EXPECT_FALSE(gantry.IsPEFileValidExT(SystemFile(L"kernel32.dll"), 1, 9));
    SECURITY_ATTRIBUTES attributes{};
    EXPECT_FALSE(gantry.GetMonitorEventAttributes(attributes));
    EXPECT_FALSE(gantry.GetMonitorThreadAttributes(attributes));
    DWORD threadId = 0;
    EXPECT_EQ(nullptr, gantry.StartNamedThread(nullptr, &RecordThreadId, &threadId, L"x"));
    EXPECT_FALSE(gantry.LoadFromDirectory(L""));
}

// A DLL that is not GANTRY.dll but carries its name (no ordinal 1 resolver
// giving a table) must not count as start-up support.
TEST(GantryLoader, ImpostorWithoutResolverFailsClosed) {
    TempDirectory directory;
    ASSERT_TRUE(::CopyFileW(SystemFile(L"version.dll").c_str(), directory.File(L"GANTRY.dll").c_str(),
                            FALSE));
    comsec::CGantry gantry;
    EXPECT_FALSE(gantry.LoadFromDirectory(directory.path()));
    EXPECT_FALSE(gantry.IsPEFileValidExT(SystemFile(L"kernel32.dll"), 1, 9));
}

TEST(GantryModule, ExportsOnlyByOrdinal) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    HMODULE module = ::GetModuleHandleW(L"GANTRY.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(ResolverOf(module), nullptr);
    EXPECT_EQ(::GetProcAddress(module, "GantryResolve"), nullptr);
    EXPECT_EQ(::GetProcAddress(module, "IsPEFileValidExT"), nullptr);
}

TEST(GantryModule, ResolverChecksVersionAndSize) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    GANTRY_RESOLVE resolve = ResolverOf(::GetModuleHandleW(L"GANTRY.dll"));
    ASSERT_NE(resolve, nullptr);
    GANTRY_ENTRIES_V1 entries{};
    EXPECT_FALSE(resolve(2, &entries, sizeof entries));
    EXPECT_FALSE(resolve(0, &entries, sizeof entries));
    EXPECT_FALSE(resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries - 1));
    EXPECT_FALSE(resolve(GANTRY_ENTRIES_VERSION_1, nullptr, sizeof entries));
    EXPECT_EQ(entries.IsPEFileValidExT, nullptr);  // untouched by refusals
    ASSERT_TRUE(resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries));
    EXPECT_EQ(entries.version, GANTRY_ENTRIES_VERSION_1);
    EXPECT_EQ(entries.size, sizeof entries);
    EXPECT_NE(entries.IsPEFileValidExT, nullptr);
    EXPECT_NE(entries.GetMonitorEventAttributes, nullptr);
    EXPECT_NE(entries.GetMonitorThreadAttributes, nullptr);
    EXPECT_NE(entries.StartNamedThread, nullptr);
}

TEST(GantryModule, SecurityAttributesAreNotInheritable) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    SECURITY_ATTRIBUTES event{};
    event.bInheritHandle = TRUE;
    ASSERT_TRUE(gantry.GetMonitorEventAttributes(event));
    EXPECT_EQ(event.nLength, sizeof event);
    EXPECT_FALSE(event.bInheritHandle);
    SECURITY_ATTRIBUTES thread{};
    thread.bInheritHandle = TRUE;
    ASSERT_TRUE(gantry.GetMonitorThreadAttributes(thread));
    EXPECT_EQ(thread.nLength, sizeof thread);
    EXPECT_FALSE(thread.bInheritHandle);
    win::UniqueHandle created(::CreateEventW(&event, TRUE, FALSE, nullptr));
    ASSERT_TRUE(created);
    DWORD flags = 0;
    ASSERT_TRUE(::GetHandleInformation(created.get(), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(GantryModule, StartsNamedThreadThatRunsTheProcedure) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    SECURITY_ATTRIBUTES attributes{};
    ASSERT_TRUE(gantry.GetMonitorThreadAttributes(attributes));
    HeldThread held;
    win::UniqueHandle thread(
        gantry.StartNamedThread(&attributes, &WaitForRelease, &held, L"COMSecEventMon"));
    ASSERT_TRUE(thread);
    auto getDescription = reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    PWSTR description = nullptr;
    const bool named = getDescription != nullptr &&
                       SUCCEEDED(getDescription(thread.get(), &description)) &&
                       description != nullptr && std::wstring(description) == L"COMSecEventMon";
    if (description) ::LocalFree(description);
    ::SetEvent(held.release.get());
    ASSERT_EQ(::WaitForSingleObject(thread.get(), 10000), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    ASSERT_TRUE(::GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(exitCode, 42u);
    EXPECT_NE(held.threadId, 0u);
    EXPECT_NE(held.threadId, ::GetCurrentThreadId());
    if (getDescription == nullptr) GTEST_SKIP() << "no thread descriptions on this system";
    EXPECT_TRUE(named);
}

TEST(GantryModule, NullProcedureStartsNoThread) {
    comsec::CGantry gantry;
    ASSERT_TRUE(gantry.Load());
    EXPECT_EQ(nullptr, gantry.StartNamedThread(nullptr, nullptr, nullptr, L"x"));
}

}  // namespace
