// Without GANTRY.dll beside the module that holds the stub code, no server
// file counts as validated and every creation is refused.
#include "ComsecTestSupport.h"

using namespace comsec_test;

namespace {

constexpr long kValidated = 1;
constexpr long kAborted = 2;

class GantryMissing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registration_.created());
        // A valid image: only the missing start-up support can refuse it.
        ASSERT_TRUE(registration_.SetInProcServer(SystemFile(L"version.dll")));
        probe_ = ExeDirectory() + L"\\comsec_gantry_probe.exe";
        ASSERT_TRUE(FileExists(probe_));
        ASSERT_TRUE(FileExists(ExeDirectory() + L"\\GANTRY.dll"));
    }

    ClassRegistration registration_{kTestClassB};
    std::wstring probe_;
};

TEST_F(GantryMissing, ProbeBesideGantryValidates) {
    const long result = RunProgram(probe_, GuidText(kTestClassB));
    ASSERT_GE(result, 0);
    EXPECT_EQ(result & kValidated, kValidated);
    // version.dll is no COM server: CoGetClassObject fails, not the guard.
    EXPECT_EQ(result & kAborted, 0);
}

TEST_F(GantryMissing, ProbeWithoutGantryFailsClosed) {
    TempDirectory alone;
    const std::wstring copy = alone.File(L"comsec_gantry_probe.exe");
    ASSERT_TRUE(::CopyFileW(probe_.c_str(), copy.c_str(), FALSE));
    const long result = RunProgram(copy, GuidText(kTestClassB));
    EXPECT_EQ(result, kAborted);
}

// A GANTRY.dll found on the search path (here: the current directory and
// PATH hold the real one) must not be used in its place.
TEST_F(GantryMissing, GantryOnSearchPathIsNotUsed) {
    TempDirectory alone;
    const std::wstring copy = alone.File(L"comsec_gantry_probe.exe");
    ASSERT_TRUE(::CopyFileW(probe_.c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(::SetCurrentDirectoryW(ExeDirectory().c_str()));
    const long result = RunProgram(copy, GuidText(kTestClassB));
    EXPECT_EQ(result, kAborted);
}

}  // namespace
