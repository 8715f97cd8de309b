// The build number in the DLLs' version resources is the version the
// adaptor log's banner shows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "StubFixture.h"
#include "tarnstub.h"

namespace {

using tarn_test::StubTest;

// The "BuildNumber" string and the fourth part of the file version of a file.
struct ModuleVersion {
    std::wstring buildNumber;
    DWORD fileVersionBuild = 0;
};

// A file beside TarnStub.dll.
std::wstring BesideTheStub(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(GetModuleHandleW(L"TarnStub.dll"), path, MAX_PATH);
    std::wstring beside = path;
    return beside.substr(0, beside.find_last_of(L'\\') + 1) + name;
}

ModuleVersion ReadVersion(const std::wstring& path) {
    ModuleVersion version;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return version;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return version;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed)
        version.fileVersionBuild = LOWORD(fixed->dwFileVersionLS);
    wchar_t* text = nullptr;
    if (VerQueryValueW(data.data(), L"\\StringFileInfo\\040904B0\\BuildNumber", reinterpret_cast<void**>(&text),
                       &length) &&
        text)
        version.buildNumber = text;
    return version;
}

class VersionTest : public StubTest {};

TEST_F(VersionTest, ResourcesCarryTheBannerVersion) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    const ModuleVersion stub = ReadVersion(BesideTheStub(L"TarnStub.dll"));
    const ModuleVersion gantry = ReadVersion(BesideTheStub(L"GANTRY.dll"));
    ASSERT_FALSE(stub.buildNumber.empty());
    EXPECT_EQ(stub.buildNumber, gantry.buildNumber);
    EXPECT_EQ(std::to_wstring(stub.fileVersionBuild), stub.buildNumber);
    EXPECT_EQ(1u, CountLogLines(L"Version=" + stub.buildNumber + L" ##########")) << LogDump();
}

}  // namespace
