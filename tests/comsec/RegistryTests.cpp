// Server path lookup, file validation and the event monitor. These tests
// write HKLM.
#include "ComsecTestSupport.h"

#include "comsec/EventMonitor.h"
#include "comsec/SecureCreate.h"

using namespace comsec_test;

namespace {

class ComsecRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registration_.created());
        ASSERT_TRUE(::CopyFileW(SystemFile(L"version.dll").c_str(), serverFile_.c_str(), FALSE));
    }
    std::wstring Path() const { return comsec::FindServerPath(kTestClassA); }
    bool ChangedWithin(DWORD milliseconds) const {
        for (const DWORD start = ::GetTickCount(); !monitor_.Changed(); ::Sleep(10))
            if (::GetTickCount() - start > milliseconds) return false;
        return true;
    }

    ClassRegistration registration_{kTestClassA};
    TempDirectory temp_;
    const std::wstring serverFile_ = temp_.File(L"server.dll");
    win::MtaScope mta_;
    comsec::CEventMonitor monitor_;
};

TEST_F(ComsecRegistry, ServerPathComesFromLocalServerElseInProcServer) {
    EXPECT_EQ(comsec::FindServerPath(kTestClassB), L"");
    EXPECT_EQ(Path(), L"");  // key without subkeys
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    EXPECT_EQ(Path(), serverFile_);
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L""));
    EXPECT_EQ(Path(), serverFile_);
    const DWORD number = 7;
    ASSERT_TRUE(registration_.SetValue(L"LocalServer32", nullptr, REG_DWORD, &number, 4));
    EXPECT_EQ(Path(), serverFile_);  // a number is no path
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"C:\\local.exe"));
    EXPECT_EQ(Path(), L"C:\\local.exe");
}

TEST_F(ComsecRegistry, QuotesGoOnlyWhenTheyEncloseTheWholeText) {
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"\"" + serverFile_ + L"\"", serverFile_},
        {L"\"" + serverFile_ + L"\" /automation", L"\"" + serverFile_ + L"\" /automation"},
        {L"\"" + serverFile_, L"\"" + serverFile_},
        {L"\"", L"\""},
        {L"\"\"", L""}};
    for (const auto& [stored, path] : cases) {
        ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, stored));
        EXPECT_EQ(Path(), path) << stored.c_str();
    }
}

TEST_F(ComsecRegistry, MonitorWithoutAWatchNeitherStartsNorChanges) {
    monitor_.StopMonitor();  // never started: nothing to stop
    monitor_.reset();
    EXPECT_FALSE(monitor_.Changed());
    EXPECT_FALSE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));  // no server path
    EXPECT_FALSE(monitor_.StartMonitor(kTestClassB, IID_ITarnServer));  // no class key
    EXPECT_FALSE(monitor_.Changed());
}

TEST_F(ComsecRegistry, MissingServerDirectorySetsChangedAtOnce) {
    ASSERT_TRUE(registration_.SetInProcServer(L"C:\\no\\such\\directory\\server.dll"));
    ASSERT_TRUE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_TRUE(monitor_.Changed());
}

// The validation reads the server file while the watch is armed: reading is
// not a change.
TEST_F(ComsecRegistry, QuietWatchStaysUnchangedAndStopsPromptly) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    ASSERT_TRUE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_EQ(monitor_.ServerPath(), serverFile_);
    EXPECT_TRUE(comsec::ValidateServerFile(kTestClassA));
    EXPECT_FALSE(ChangedWithin(300));
    EXPECT_FALSE(monitor_.ChangedAfterSettling(100));
    const DWORD start = ::GetTickCount();
    monitor_.StopMonitor();
    EXPECT_LT(::GetTickCount() - start, 5000u);
}

// A second start keeps the running watch, and a write under the class key is
// seen at once, not only once the watch thread ran.
TEST_F(ComsecRegistry, ValueWrittenUnderClassKeySetsChanged) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    ASSERT_TRUE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_FALSE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_FALSE(monitor_.Changed());
    ASSERT_TRUE(registration_.SetText(L"", L"Planted", L"1"));
    EXPECT_TRUE(monitor_.Changed());
}

TEST_F(ComsecRegistry, RewrittenServerPathSetsChangedAndResetAllowsANewWatch) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    ASSERT_TRUE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_TRUE(registration_.SetText(L"InProcServer32", nullptr, temp_.File(L"other.dll")));
    ASSERT_TRUE(ChangedWithin(5000));
    monitor_.reset();
    EXPECT_FALSE(monitor_.Changed());
    ASSERT_TRUE(monitor_.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_FALSE(ChangedWithin(200));
}

}  // namespace
