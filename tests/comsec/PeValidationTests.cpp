// IsPEFileValidExT of GANTRY.dll, reached the way the stub reaches it: the
// loader takes GANTRY.dll from this program's directory and resolves its
// table through ordinal 1. The sample images are the Wine prefix's own system
// files and the cross toolchain's 32-bit runtime DLL: none was built here.
#include "ComsecTestSupport.h"

#include "comsec/GantryLoader.h"

#include <cstdint>
#include <cstring>

using namespace comsec_test;

namespace {

// Offsets of file header fields, from the "PE\0\0" signature.
constexpr size_t kMachine = 4, kNumberOfSections = 6, kSizeOfOptionalHeader = 20, kCharacteristics = 22,
                 kOptionalMagic = 24;

class PeValidation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(gantry_.Load());
        kernel32_ = ReadWholeFile(SystemFile(L"kernel32.dll"));
        ASSERT_GT(kernel32_.size(), 4096u);
        std::memcpy(&nt_, &kernel32_[0x3C], sizeof nt_);
    }

    // Flags 1: an executable image; machines 9: x86 (1) or x64 (8).
    bool Valid(const std::wstring& path, ULONG flags = 1, ULONG machines = 9) const {
        return gantry_.IsPEFileValidExT(path, flags, machines);
    }
    bool ValidBytes(const std::string& bytes, ULONG flags = 1, ULONG machines = 9) {
        EXPECT_TRUE(WriteWholeFile(temp_.File(L"sample.dll"), bytes));
        return Valid(temp_.File(L"sample.dll"), flags, machines);
    }
    template <typename T>
    std::string Kernel32With(size_t offset, T value) const {
        std::string copy = kernel32_;
        std::memcpy(&copy[offset], &value, sizeof value);
        return copy;
    }

    comsec::CGantry gantry_;
    TempDirectory temp_;
    std::string kernel32_;
    std::uint32_t nt_ = 0;
};

TEST_F(PeValidation, AcceptsSystemImagesAndAnUntouchedCopy) {
    for (const wchar_t* name : {L"kernel32.dll", L"ole32.dll", L"notepad.exe", L"cmd.exe"})
        EXPECT_TRUE(Valid(SystemFile(name))) << name;
    EXPECT_TRUE(ValidBytes(kernel32_));
}

TEST_F(PeValidation, RefusesMissingPathsDirectoriesAndNonPeFiles) {
    for (const std::wstring& path :
         {temp_.File(L"no-such-file.dll"), std::wstring(L""), std::wstring(L"C:\\no\\such\\directory\\server.exe"),
          temp_.path(), temp_.path() + L"\\"})
        EXPECT_FALSE(Valid(path)) << path.c_str();
    EXPECT_FALSE(ValidBytes(""));
    EXPECT_FALSE(ValidBytes(std::string("MZ but then only text, no PE header follows.\r\n") + std::string(4096, ' ')));
    const std::string ini = ReadWholeFile(L"C:\\windows\\win.ini");
    ASSERT_FALSE(ini.empty());
    EXPECT_FALSE(ValidBytes(ini));
    // A good image that cannot be read is refused too.
    ASSERT_TRUE(ValidBytes(kernel32_));
    win::UniqueHandle exclusive(
        ::CreateFileW(temp_.File(L"sample.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive);
    EXPECT_FALSE(Valid(temp_.File(L"sample.dll")));
}

TEST_F(PeValidation, RefusesCopiesCutShortOrDamaged) {
    const size_t size = kernel32_.size(), nt = nt_;
    for (size_t cut : {size_t{1}, size_t{2}, size_t{0x3C}, size_t{0x40}, nt + 2, nt + 4 + 10, nt + 24 + 0x30,
                       nt + 24 + 240 + 20, size_t{4096}, size / 2, size - 4096, size - 1})
        EXPECT_FALSE(ValidBytes(kernel32_.substr(0, cut))) << "cut at " << cut << " of " << size;
    EXPECT_FALSE(ValidBytes(Kernel32With(0, std::uint16_t{0x5A4E})));  // "NZ"
    EXPECT_FALSE(ValidBytes(Kernel32With(0x3C, nt_ + 1)));             // misaligned
    EXPECT_FALSE(ValidBytes(Kernel32With(0x3C, static_cast<std::uint32_t>(kernel32_.size()))));
    EXPECT_FALSE(ValidBytes(Kernel32With(0x3C, std::uint32_t{0xFFFFFFF0})));
    EXPECT_FALSE(ValidBytes(Kernel32With(nt_, std::uint32_t{0x01004550})));  // "PE\0\1"
    const std::pair<size_t, std::uint16_t> fields[] = {{nt + kNumberOfSections, 0},
                                                       {nt + kNumberOfSections, 0xFFFF},
                                                       {nt + kSizeOfOptionalHeader, 0x40},
                                                       {nt + kSizeOfOptionalHeader, 0xFFFF},
                                                       {nt + kOptionalMagic, 0x107},
                                                       {nt + kOptionalMagic, 0x10B},  // ROM image; PE32 for x64
                                                       {nt + kMachine, 0x014C},
                                                       {nt + kMachine, 0x0200}};  // x86 with PE32+; Itanium
    for (auto [offset, value] : fields)
        EXPECT_FALSE(ValidBytes(Kernel32With(offset, value))) << offset << ": " << value;
}

TEST_F(PeValidation, FlagsOneAndMachinesNineSelectTheImages) {
    const std::string notExecutable =
        Kernel32With(nt_ + kCharacteristics, std::uint16_t{IMAGE_FILE_DLL | IMAGE_FILE_LARGE_ADDRESS_AWARE});
    EXPECT_FALSE(ValidBytes(notExecutable, 1, 9));
    EXPECT_TRUE(ValidBytes(notExecutable, 0, 9));

    const std::wstring dll = SystemFile(L"kernel32.dll"), exe = SystemFile(L"notepad.exe");
    EXPECT_TRUE(Valid(dll, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_DLL));
    EXPECT_FALSE(Valid(exe, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_DLL));
    EXPECT_TRUE(Valid(exe, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_EXE));
    EXPECT_FALSE(Valid(dll, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_EXE));
    for (auto [flags, machines] : {std::pair<ULONG, ULONG>{0x8, 9}, {0x80000001, 9}, {1, 0}, {1, 0x19}})
        EXPECT_FALSE(Valid(dll, flags, machines)) << flags << "/" << machines;  // unknown bits

    // Machines 9 takes x64 and x86 images only.
    EXPECT_TRUE(Valid(dll, 1, GANTRY_PE_MACHINE_AMD64));
    EXPECT_FALSE(Valid(dll, 1, GANTRY_PE_MACHINE_I386));
    EXPECT_FALSE(Valid(dll, 1, GANTRY_PE_MACHINE_ARM64 | GANTRY_PE_MACHINE_ARMNT));
    const std::string arm64 = Kernel32With(nt_ + kMachine, std::uint16_t{0xAA64});
    EXPECT_FALSE(ValidBytes(arm64, 1, 9));
    EXPECT_TRUE(ValidBytes(arm64, 1, GANTRY_PE_MACHINE_ARM64));

    const wchar_t i686[] = L"Z:\\usr\\i686-w64-mingw32\\lib\\libwinpthread-1.dll";
    if (!FileExists(i686)) GTEST_SKIP() << "no 32-bit sample image";
    EXPECT_TRUE(Valid(i686, 1, 9));
    EXPECT_TRUE(Valid(i686, 1, GANTRY_PE_MACHINE_I386));
    EXPECT_FALSE(Valid(i686, 1, GANTRY_PE_MACHINE_AMD64));
    const std::string whole = ReadWholeFile(i686);
    EXPECT_FALSE(ValidBytes(whole.substr(0, whole.size() - 1), 1, 9));
}

}  // namespace
