// What a local user may plant where a privileged blade writes its log: links
// in place of the log, its directory or its side files, a directory under
// the log's name, and the side names of an earlier trim's scheme.
#include "LogFixture.h"

#include <aclapi.h>
#include <sddl.h>

namespace log_test {
namespace {

constexpr char kSecret[] = "a file the blade must not write to\r\n";

class LogSafetyTest : public LogFileTest {
protected:
    void SetUp() override {
        LogFileTest::SetUp();
        SetLevelText(L"V");
        fileName_ = L"planted-adaptor.log";
    }
    std::wstring SecretPath() const { return dir_.Join(L"secret.txt"); }
    void WriteSecret() const {
        win::UniqueHandle file(CreateFileW(SecretPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && WriteFile(file.get(), kSecret, sizeof(kSecret) - 1, &written, nullptr));
    }
    // Starts the log expecting a refusal, writes a line, and checks the one
    // debugger line that says why.
    void ExpectRefused(const std::string& why) {
        DebugOutputCapture debug;
        EXPECT_EQ(-1, InitLogFile(fileName_.c_str(), kLevelValue, dir_.path().c_str()));
        EXPECT_EQ(L"", adaptor_log_testing::CurrentLogPath());
        WriteLog(LOG_ERROR, "Test::Planted", L"must go nowhere");
        const std::string text = debug.text();
        EXPECT_NE(std::string::npos, text.find("InitLogFile: No adaptor log: ")) << text;
        EXPECT_NE(std::string::npos, text.find(why)) << text;
        EXPECT_EQ(std::string::npos, text.find("LOGGER_TraceLevel")) << text;
    }
};

TEST_F(LogSafetyTest, AHardLinkPlantedUnderTheLogsNameIsRefused) {
    WriteSecret();
    ASSERT_TRUE(CreateHardLinkW(LogPath().c_str(), SecretPath().c_str(), nullptr));
    ExpectRefused("refused, it has more than one hard link");
    EXPECT_EQ(kSecret, tarn_test::ReadFileBytes(SecretPath()));
}

TEST_F(LogSafetyTest, AHardLinkPlantedUnderTheLockFilesNameIsRefused) {
    WriteSecret();
    ASSERT_TRUE(CreateHardLinkW((LogPath() + L".lock").c_str(), SecretPath().c_str(), nullptr));
    ExpectRefused(".lock refused, it has more than one hard link");
    EXPECT_EQ(kSecret, tarn_test::ReadFileBytes(SecretPath()));
    EXPECT_FALSE(FileExists(LogPath()));
}

TEST_F(LogSafetyTest, ALogPathThatIsADirectoryIsRefused) {
    ASSERT_TRUE(CreateDirectoryW(LogPath().c_str(), nullptr));
    ExpectRefused("refused, it is a directory");
}

TEST_F(LogSafetyTest, ALogDirectoryThatIsASymbolicLinkIsRefused) {
    const std::wstring target = dir_.Join(L"elsewhere");
    const std::wstring link = dir_.Join(L"linked-logs");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    const DWORD attributes = GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        GTEST_SKIP() << "no directory symbolic links here";
    }
    DebugOutputCapture debug;
    EXPECT_EQ(-1, InitLogFile(fileName_.c_str(), kLevelValue, link.c_str()));
    WriteLog(LOG_ERROR, "Test::Planted", L"must go nowhere");
    EXPECT_NE(std::string::npos, debug.text().find("refused, it is a reparse point")) << debug.text();
    EXPECT_FALSE(FileExists(target + L"\\" + fileName_));
}

TEST_F(LogSafetyTest, SideNamesPlantedInAdvanceDoNotStopTheTrim) {
    // Every name the trim of a process with this id could pick from a
    // counter: "<log>.<pid>-<n>.tmp" and "<log>.<pid>-<n>.old.tmp".
    StartLog(fileName_);
    for (unsigned n = 1; n <= 64; ++n) {
        for (const wchar_t* suffix : {L".tmp", L".old.tmp"}) {
            wchar_t middle[32];
            _snwprintf(middle, 32, L".%lx-%u", static_cast<unsigned long>(GetCurrentProcessId()), n);
            win::UniqueHandle planted(CreateFileW((LogPath() + middle + suffix).c_str(), GENERIC_WRITE, 0, nullptr,
                                                  CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(planted);
        }
    }
    const size_t planted = SideFiles().size();
    for (int i = 0; i < 200; ++i) WriteLog(LOG_INFO, "Test::Planted", L"line %d", i);
    adaptor_log_testing::OverrideLimits(static_cast<DWORD>(FileLength() / 2), static_cast<DWORD>(FileLength() / 4));
    WriteLog(LOG_INFO, "Test::Planted", L"trim now");
    EXPECT_EQ(1u, adaptor_log_testing::TrimCopiesStarted());
    EXPECT_EQ(std::string::npos, Bytes().find(": line 0\r\n")) << "not trimmed";
    EXPECT_EQ("trim now", Parse(Lines().back()).message);
    EXPECT_EQ(planted, SideFiles().size());
}

// The DACL entries of path, as SDDL text per entry.
std::vector<std::string> DaclEntries(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::vector<std::string> entries;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                              &descriptor) != ERROR_SUCCESS) {
        return entries;
    }
    win::UniqueLocalMemory owner(descriptor);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr)) {
        return entries;
    }
    win::UniqueLocalMemory textOwner(text);
    const std::wstring wide(text);
    for (size_t open = wide.find(L'('); open != std::wstring::npos; open = wide.find(L'(', open + 1)) {
        const std::wstring entry = wide.substr(open, wide.find(L')', open) - open + 1);
        entries.emplace_back(entry.begin(), entry.end());
    }
    return entries;
}

std::string OwnSidText() {
    win::UniqueHandle token;
    BYTE buffer[256];
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        return std::string();
    }
    win::UniqueLocalMemory owner(text);
    const std::wstring wide(text);
    return std::string(wide.begin(), wide.end());
}

TEST_F(LogSafetyTest, ADirectoryTheLogCreatesGrantsWriteOnlyToAdministratorsSystemAndItsAccount) {
    const std::wstring logs = dir_.Join(L"new-logs");
    ASSERT_EQ(0, InitLogFile(fileName_.c_str(), kLevelValue, logs.c_str()));
    const std::vector<std::string> entries = DaclEntries(logs);
    const std::string self = OwnSidText();
    ASSERT_FALSE(self.empty());
    bool selfWrites = false, everyoneReads = false;
    for (const std::string& entry : entries) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(0u, entry.find("(A;")) << "only allowing entries";
        const bool forSelf = entry.find(";" + self + ")") != std::string::npos;
        const bool privileged = entry.find(";BA)") != std::string::npos || entry.find(";SY)") != std::string::npos;
        // Modify as written; Wine stores full control for an account that is
        // an administrator there.
        if (forSelf)
            selfWrites = entry.find(";0x1301bf;") != std::string::npos || entry.find(";FA;") != std::string::npos;
        if (entry.find(";WD)") != std::string::npos) everyoneReads = entry.find(";0x1200a9;") != std::string::npos;
        EXPECT_TRUE(forSelf || privileged || entry.find(";0x1200a9;") != std::string::npos)
            << "write access for someone else";
    }
    EXPECT_TRUE(selfWrites) << ::testing::PrintToString(entries);
    EXPECT_TRUE(everyoneReads);
}

}  // namespace
}  // namespace log_test
