// IsPEFileValidExT of GANTRY.dll, reached the way the stub reaches it: the
// loader takes GANTRY.dll from this program's directory and resolves its
// table through ordinal 1. The sample images are the Wine prefix's own system
// files and the cross toolchain's 32-bit runtime DLL: none was built here.
#include "ComsecTestSupport.h"

#include "comsec/GantryLoader.h"

#include <cstring>

using namespace comsec_test;

namespace {

constexpr ULONG kServerFlags = 1;     // executable image required
constexpr ULONG kServerMachines = 9;  // x86 or x64

const wchar_t kMingwI686Runtime[] = L"Z:\\usr\\i686-w64-mingw32\\lib\\libwinpthread-1.dll";

class PeValidation : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(gantry_.Load()); }

    bool Valid(const std::wstring& path, ULONG flags = kServerFlags,
               ULONG machines = kServerMachines) const {
        return gantry_.IsPEFileValidExT(path, flags, machines);
    }

    // Writes bytes as name into the temporary directory and validates it.
    bool ValidBytes(const std::vector<std::uint8_t>& bytes, ULONG flags = kServerFlags,
                    ULONG machines = kServerMachines) {
        const std::wstring path = temp_.File(L"sample.dll");
        EXPECT_TRUE(WriteWholeFile(path, bytes.data(), bytes.size()));
        return Valid(path, flags, machines);
    }

    std::vector<std::uint8_t> Kernel32() const {
        std::vector<std::uint8_t> bytes = ReadWholeFile(SystemFile(L"kernel32.dll"));
        EXPECT_GT(bytes.size(), 4096u);
        return bytes;
    }

    static std::uint32_t NtOffset(const std::vector<std::uint8_t>& bytes) {
        std::uint32_t offset = 0;
        std::memcpy(&offset, &bytes[0x3C], sizeof offset);
        return offset;
    }
    template <typename T>
    static void Put(std::vector<std::uint8_t>& bytes, size_t offset, T value) {
        std::memcpy(&bytes[offset], &value, sizeof value);
    }
    // Offsets of file header fields, from the "PE\0\0" signature.
    static constexpr size_t kMachine = 4;
    static constexpr size_t kNumberOfSections = 6;
    static constexpr size_t kSizeOfOptionalHeader = 20;
    static constexpr size_t kCharacteristics = 22;
    static constexpr size_t kOptionalMagic = 24;

    comsec::CGantry gantry_;
    TempDirectory temp_;
};

TEST_F(PeValidation, AcceptsSystemDllAndProgram) {
    EXPECT_TRUE(Valid(SystemFile(L"kernel32.dll")));
    EXPECT_TRUE(Valid(SystemFile(L"notepad.exe")));
    EXPECT_TRUE(Valid(SystemFile(L"ole32.dll")));
    EXPECT_TRUE(Valid(SystemFile(L"cmd.exe")));
}

TEST_F(PeValidation, AcceptsAnUntouchedCopy) {
    EXPECT_TRUE(ValidBytes(Kernel32()));
}

TEST_F(PeValidation, RefusesMissingPathDirectoryAndEmptyArguments) {
    EXPECT_FALSE(Valid(temp_.File(L"no-such-file.dll")));
    EXPECT_FALSE(Valid(L"C:\\no\\such\\directory\\server.exe"));
    EXPECT_FALSE(Valid(temp_.path()));
    EXPECT_FALSE(Valid(temp_.path() + L"\\"));
    EXPECT_FALSE(Valid(L""));
    GANTRY_ENTRIES_V1 entries{};
    // Through the raw entry as well: a null path must not crash.
    HMODULE module = ::GetModuleHandleW(L"GANTRY.dll");
    ASSERT_NE(module, nullptr);
    auto resolve = reinterpret_cast<GANTRY_RESOLVE>(
        reinterpret_cast<void*>(::GetProcAddress(module, MAKEINTRESOURCEA(1))));
    ASSERT_NE(resolve, nullptr);
    ASSERT_TRUE(resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries));
    EXPECT_FALSE(entries.IsPEFileValidExT(nullptr, 1, 9));
}

TEST_F(PeValidation, RefusesEmptyAndNonPeFiles) {
    EXPECT_FALSE(ValidBytes({}));
    const char text[] = "MZ but then only text, no PE header follows in this file at all.\r\n";
    std::vector<std::uint8_t> bytes(text, text + sizeof text - 1);
    bytes.resize(4096, ' ');
    EXPECT_FALSE(ValidBytes(bytes));
    const std::vector<std::uint8_t> ini = ReadWholeFile(L"C:\\windows\\win.ini");
    ASSERT_FALSE(ini.empty());
    EXPECT_FALSE(ValidBytes(ini));
}

TEST_F(PeValidation, RefusesCopiesCutShort) {
    const std::vector<std::uint8_t> whole = Kernel32();
    const size_t nt = NtOffset(whole);
    const size_t cuts[] = {1,         2,          0x3C,          0x40,         nt + 2,
                           nt + 4 + 10, nt + 24 + 0x30, nt + 24 + 240 + 20, 4096,
                           whole.size() / 2,         whole.size() - 4096, whole.size() - 1};
    for (size_t cut : cuts) {
        const std::vector<std::uint8_t> part(whole.begin(), whole.begin() + cut);
        EXPECT_FALSE(ValidBytes(part)) << "cut at " << cut << " of " << whole.size();
    }
}

TEST_F(PeValidation, RefusesDamagedHeaders) {
    const std::vector<std::uint8_t> whole = Kernel32();
    const size_t nt = NtOffset(whole);
    auto damaged = [&](size_t offset, auto value) {
        std::vector<std::uint8_t> copy = whole;
        Put(copy, offset, value);
        return ValidBytes(copy);
    };
    EXPECT_FALSE(damaged(0, std::uint16_t{0x5A4E}));                        // "NZ"
    EXPECT_FALSE(damaged(0x3C, static_cast<std::uint32_t>(nt + 1)));        // misaligned
    EXPECT_FALSE(damaged(0x3C, static_cast<std::uint32_t>(whole.size())));  // outside
    EXPECT_FALSE(damaged(0x3C, std::uint32_t{0xFFFFFFF0}));
    EXPECT_FALSE(damaged(nt, std::uint32_t{0x00004550 | 0x01000000}));      // "PE\0\1"
    EXPECT_FALSE(damaged(nt + kNumberOfSections, std::uint16_t{0}));
    EXPECT_FALSE(damaged(nt + kNumberOfSections, std::uint16_t{0xFFFF}));
    EXPECT_FALSE(damaged(nt + kSizeOfOptionalHeader, std::uint16_t{0x40})); // too short
    EXPECT_FALSE(damaged(nt + kSizeOfOptionalHeader, std::uint16_t{0xFFFF}));
    EXPECT_FALSE(damaged(nt + kOptionalMagic, std::uint16_t{0x107}));       // ROM image
    EXPECT_FALSE(damaged(nt + kOptionalMagic, std::uint16_t{0x10B}));       // PE32 for x64
    EXPECT_FALSE(damaged(nt + kMachine, std::uint16_t{0x014C}));            // x86 with PE32+
    EXPECT_FALSE(damaged(nt + kMachine, std::uint16_t{0x0200}));            // Itanium
}

// Flags (second argument) 1: the image must be marked executable.
TEST_F(PeValidation, FlagOneRequiresExecutableImage) {
    std::vector<std::uint8_t> copy = Kernel32();
    const size_t nt = NtOffset(copy);
    std::uint16_t characteristics = 0;
    std::memcpy(&characteristics, &copy[nt + kCharacteristics], sizeof characteristics);
    ASSERT_TRUE(characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
    Put(copy, nt + kCharacteristics,
        static_cast<std::uint16_t>(characteristics & ~IMAGE_FILE_EXECUTABLE_IMAGE));
    EXPECT_FALSE(ValidBytes(copy, 1, 9));
    EXPECT_TRUE(ValidBytes(copy, 0, 9));
}

TEST_F(PeValidation, DllAndExeFlagsSelectTheKind) {
    const std::wstring dll = SystemFile(L"kernel32.dll");
    const std::wstring exe = SystemFile(L"notepad.exe");
    EXPECT_TRUE(Valid(dll, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_DLL, 9));
    EXPECT_FALSE(Valid(exe, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_DLL, 9));
    EXPECT_TRUE(Valid(exe, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_EXE, 9));
    EXPECT_FALSE(Valid(dll, GANTRY_PE_REQUIRE_EXECUTABLE | GANTRY_PE_REQUIRE_EXE, 9));
}

TEST_F(PeValidation, UnknownFlagsOrMachineBitsRefuse) {
    const std::wstring dll = SystemFile(L"kernel32.dll");
    EXPECT_FALSE(Valid(dll, 0x8, 9));
    EXPECT_FALSE(Valid(dll, 0x80000001, 9));
    EXPECT_FALSE(Valid(dll, 1, 0));
    EXPECT_FALSE(Valid(dll, 1, 0x19));
}

// Machines (third argument) 9 = x86 (1) | x64 (8).
TEST_F(PeValidation, MachineMaskNineTakesX64AndX86Only) {
    const std::wstring x64 = SystemFile(L"kernel32.dll");
    EXPECT_TRUE(Valid(x64, 1, 9));
    EXPECT_TRUE(Valid(x64, 1, GANTRY_PE_MACHINE_AMD64));
    EXPECT_FALSE(Valid(x64, 1, GANTRY_PE_MACHINE_I386));
    EXPECT_FALSE(Valid(x64, 1, GANTRY_PE_MACHINE_ARM64 | GANTRY_PE_MACHINE_ARMNT));

    std::vector<std::uint8_t> arm64 = Kernel32();
    Put(arm64, NtOffset(arm64) + kMachine, std::uint16_t{0xAA64});
    EXPECT_FALSE(ValidBytes(arm64, 1, 9));
    EXPECT_TRUE(ValidBytes(arm64, 1, GANTRY_PE_MACHINE_ARM64));
}

TEST_F(PeValidation, MachineMaskNineTakes32BitImages) {
    if (!FileExists(kMingwI686Runtime)) GTEST_SKIP() << "no 32-bit sample image";
    EXPECT_TRUE(Valid(kMingwI686Runtime, 1, 9));
    EXPECT_TRUE(Valid(kMingwI686Runtime, 1, GANTRY_PE_MACHINE_I386));
    EXPECT_FALSE(Valid(kMingwI686Runtime, 1, GANTRY_PE_MACHINE_AMD64));
    const std::vector<std::uint8_t> whole = ReadWholeFile(kMingwI686Runtime);
    const std::vector<std::uint8_t> part(whole.begin(), whole.end() - 1);
    EXPECT_FALSE(ValidBytes(part, 1, 9));
}

TEST_F(PeValidation, FileLockedAgainstReadingIsRefused) {
    const std::vector<std::uint8_t> whole = Kernel32();
    const std::wstring path = temp_.File(L"locked.dll");
    ASSERT_TRUE(WriteWholeFile(path, whole.data(), whole.size()));
    EXPECT_TRUE(Valid(path));
    win::UniqueHandle exclusive(
        ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive);
    EXPECT_FALSE(Valid(path));
}

}  // namespace
