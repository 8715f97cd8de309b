// Which server the stub creates when the class names both kinds: the
// validated and watched file is the local server's ("LocalServer32" comes
// first), so the stub must not let COM fall back on its preference for an
// in-process server and load a DLL nobody checked.
#include <gtest/gtest.h>

#include "ComsecTestSupport.h"
#include "LogFile.h"
#include "Registry.h"
#include "ServerFixture.h"

namespace {

constexpr wchar_t kInProcKey[] = L"Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7}\\InProcServer32";

// The Tarn server's class.
constexpr CLSID kTarnServerClass = {0xee4930e4, 0xbbf2, 0x4578, {0x9b, 0x1e, 0x65, 0x6c, 0x4f, 0xe1, 0x11, 0xf7}};

class ServerKind : public tarn_test::ServerTest {};

TEST_F(ServerKind, WithBothSubkeysOnlyTheValidatedLocalServerIsUsed) {
    // A working in-process server beside the registered local one.
    const std::wstring dll = comsec_test::ExeDirectory() + L"\\TarnRefServer.dll";
    ASSERT_TRUE(comsec_test::FileExists(dll));
    tarn_test::ScopedRegistryValue inProc = tarn_test::ScopedRegistryValue::String(kInProcKey, L"", dll);
    tarn_test::ScopedRegistryValue threading =
        tarn_test::ScopedRegistryValue::String(kInProcKey, L"ThreadingModel", L"Both");

    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    // The blade is registered with the server in its own process, and the
    // DLL never came into the blade's.
    EXPECT_EQ(1u, TarnRef_CountCalls(L"Register")) << CallDump();
    EXPECT_NE(0u, TarnRef_ServerProcessId());
    EXPECT_NE(GetCurrentProcessId(), TarnRef_ServerProcessId());
    EXPECT_EQ(nullptr, GetModuleHandleW(L"TarnRefServer.dll"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, TarnRef_CountCalls(L"Unregister")) << CallDump();
}

// A class registered per user would have COM start that server instead of
// the validated one (Windows prefers it for a process that is not
// elevated): the stub refuses to create the server while it exists, says so,
// and connects once it is gone.
TEST_F(ServerKind, APerUserRegistrationOfTheClassKeepsTheStubFromConnecting) {
    const std::wstring dll = comsec_test::ExeDirectory() + L"\\TarnRefServer.dll";
    {
        comsec_test::PerUserRegistration perUser(kTarnServerClass, 0, dll);
        ASSERT_TRUE(perUser.created());
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        EXPECT_EQ(0u, TarnRef_CountCalls(L"Register")) << CallDump();
        EXPECT_EQ(TARNSTUB_OK, Finalize());
    }
    const std::wstring line =
        L"comsec::SecureCreateInstance: Per-user registration of the server class found, key: "
        L"HKCU\\Software\\Classes\\CLSID\\{EE4930E4-BBF2-4578-9B1E-656C4FE111F7} (native view), creation refused";
    EXPECT_EQ(1u, tarn_test::CountEntries(LogLines(), L'E', line)) << LogDump();

    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"Register")) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
