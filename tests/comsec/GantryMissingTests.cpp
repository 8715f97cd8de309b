// Without GANTRY.dll beside the module that holds the stub code, no server
// file counts as validated and every creation is refused.
#include "ComsecTestSupport.h"

using namespace comsec_test;

namespace {

constexpr intptr_t kValidated = 1, kAborted = 2;  // the probe's exit bits

TEST(GantryMissing, ProbeWithoutGantryBesideItFailsClosed) {
    ClassRegistration registration{kTestClassB};
    // A valid image: only the missing start-up support can refuse it.
    ASSERT_TRUE(registration.SetInProcServer(SystemFile(L"version.dll")));
    const std::wstring probe = ExeDirectory() + L"\\comsec_gantry_probe.exe";
    ASSERT_TRUE(FileExists(ExeDirectory() + L"\\GANTRY.dll"));
    // Beside GANTRY.dll the file validates; version.dll is no COM server, so
    // CoGetClassObject fails, not the guard.
    EXPECT_EQ(RunProgram(probe, GuidText(kTestClassB)), kValidated);

    // Alone, with the real GANTRY.dll in the current directory (on the search
    // path), which must not be used in its place.
    TempDirectory alone;
    const std::wstring copy = alone.File(L"comsec_gantry_probe.exe");
    ASSERT_TRUE(::CopyFileW(probe.c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(::SetCurrentDirectoryW(ExeDirectory().c_str()));
    EXPECT_EQ(RunProgram(copy, GuidText(kTestClassB)), kAborted);
}

}  // namespace
