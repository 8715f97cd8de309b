// Server path lookup, file validation, the event monitor and the refusals of
// the secure creation that need no server. These tests write HKLM.
#include "ComsecTestSupport.h"

#include "comsec/EventMonitor.h"
#include "comsec/SecureCreate.h"

using namespace comsec_test;

namespace {

class ComsecRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registration_.created());
        ASSERT_FALSE(temp_.path().empty());
        serverFile_ = temp_.File(L"server.dll");
        ASSERT_TRUE(::CopyFileW(SystemFile(L"version.dll").c_str(), serverFile_.c_str(), FALSE));
    }

    ClassRegistration registration_{kTestClassA};
    TempDirectory temp_;
    std::wstring serverFile_;
    win::MtaScope mta_;
};

// --- FindServerPath ------------------------------------------------------

TEST_F(ComsecRegistry, ClassKeyNameUsesRegistryForm) {
    EXPECT_EQ(comsec::ClassKeyName(kTestClassA),
              L"Software\\Classes\\CLSID\\{7E1C2A90-3B4D-4E5F-8A6B-1C2D3E4F5061}");
}

TEST_F(ComsecRegistry, UnregisteredClassHasNoPath) {
    EXPECT_EQ(comsec::FindServerPath(kTestClassB), L"");
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), L"");  // key without subkeys
}

TEST_F(ComsecRegistry, QuotedLocalServerPathLosesItsQuotes) {
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\"" + serverFile_ + L"\""));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), serverFile_);
}

TEST_F(ComsecRegistry, QuotesAreKeptUnlessTheyEncloseTheWholeText) {
    const std::wstring withArguments = L"\"" + serverFile_ + L"\" /automation";
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, withArguments));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), withArguments);
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\"" + serverFile_));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), L"\"" + serverFile_);
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\""));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), L"\"");
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\"\""));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), L"");
}

TEST_F(ComsecRegistry, InProcServerOnlyGivesThatPath) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), serverFile_);
}

TEST_F(ComsecRegistry, LocalServerComesFirst) {
    ASSERT_TRUE(registration_.SetInProcServer(L"C:\\inproc.dll"));
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, serverFile_));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), serverFile_);
}

TEST_F(ComsecRegistry, EmptyLocalServerFallsBackToInProcServer) {
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L""));
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), serverFile_);
}

TEST_F(ComsecRegistry, NonStringValueIsNoPath) {
    win::UniqueHKey key;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(HKEY_LOCAL_MACHINE,
                                (registration_.keyName() + L"\\LocalServer32").c_str(), 0, nullptr,
                                0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
    const DWORD number = 7;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), nullptr, 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&number), 4));
    EXPECT_EQ(comsec::FindServerPath(kTestClassA), L"");
}

// --- ValidateServerFile ----------------------------------------------------

TEST_F(ComsecRegistry, ValidatesRegisteredPeFile) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    EXPECT_TRUE(comsec::ValidateServerFile(kTestClassA));
}

TEST_F(ComsecRegistry, RefusesUnregisteredOrNonPeServer) {
    EXPECT_FALSE(comsec::ValidateServerFile(kTestClassA));
    const std::wstring text = temp_.File(L"notes.dll");
    const char content[] = "not an image";
    ASSERT_TRUE(WriteWholeFile(text, reinterpret_cast<const std::uint8_t*>(content), sizeof content));
    ASSERT_TRUE(registration_.SetInProcServer(text));
    EXPECT_FALSE(comsec::ValidateServerFile(kTestClassA));
    ASSERT_TRUE(registration_.SetInProcServer(temp_.File(L"missing.dll")));
    EXPECT_FALSE(comsec::ValidateServerFile(kTestClassA));
}

// --- SecureCreateInstance refusals before any server code ---------------------

TEST_F(ComsecRegistry, ClassWithoutServerSubkeysIsAborted) {
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(comsec::SecureCreateInstance(kTestClassA, server, 0), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
    EXPECT_EQ(comsec::SecureCreateInstance(kTestClassB, server, 0), E_ABORT);
}

// Without the validation the class would reach CoGetClassObject and fail
// there with another code.
TEST_F(ComsecRegistry, NonPeServerFileIsAborted) {
    const std::wstring text = temp_.File(L"notes.dll");
    const char content[] = "MZ this is only text";
    ASSERT_TRUE(WriteWholeFile(text, reinterpret_cast<const std::uint8_t*>(content), sizeof content));
    ASSERT_TRUE(registration_.SetInProcServer(text));
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(comsec::SecureCreateInstance(kTestClassA, server, 0), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
}

// A valid image that is no COM server: the validation passes and the
// failure of CoGetClassObject comes back unchanged.
TEST_F(ComsecRegistry, ClassObjectFailureIsReturnedAsItCame) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    win::ComPtr<ITarnServer> server;
    const HRESULT hr = comsec::SecureCreateInstance(kTestClassA, server, 0);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
}

// --- CEventMonitor ------------------------------------------------------------

bool ChangedWithin(const comsec::CEventMonitor& monitor, DWORD milliseconds) {
    const DWORD start = ::GetTickCount();
    while (!monitor.Changed()) {
        if (::GetTickCount() - start > milliseconds) return false;
        ::Sleep(10);
    }
    return true;
}

TEST_F(ComsecRegistry, StopOnNeverStartedMonitorDoesNothing) {
    comsec::CEventMonitor monitor;
    monitor.StopMonitor();
    monitor.StopMonitor();
    EXPECT_FALSE(monitor.Changed());
    monitor.reset();
    EXPECT_FALSE(monitor.Changed());
}

TEST_F(ComsecRegistry, MonitorNeedsARegisteredServer) {
    comsec::CEventMonitor monitor;
    EXPECT_FALSE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_FALSE(monitor.StartMonitor(kTestClassB, IID_ITarnServer));
}

TEST_F(ComsecRegistry, MissingServerDirectorySetsChangedAtOnce) {
    ASSERT_TRUE(registration_.SetInProcServer(L"C:\\no\\such\\directory\\server.dll"));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_TRUE(monitor.Changed());
}

TEST_F(ComsecRegistry, QuietWatchStaysUnchangedAndStopsPromptly) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_EQ(monitor.ServerPath(), serverFile_);
    EXPECT_FALSE(ChangedWithin(monitor, 300));
    DWORD start = ::GetTickCount();
    EXPECT_FALSE(monitor.ChangedAfterSettling(100));
    EXPECT_LT(::GetTickCount() - start, 2000u);
    start = ::GetTickCount();
    monitor.StopMonitor();
    EXPECT_LT(::GetTickCount() - start, 5000u);
}

// The validation reads the server file while the watch is armed: reading is
// not a change.
TEST_F(ComsecRegistry, ValidationReadDoesNotCountAsChange) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_TRUE(comsec::ValidateServerFile(kTestClassA));
    EXPECT_FALSE(ChangedWithin(monitor, 300));
}

TEST_F(ComsecRegistry, ValueWrittenUnderClassKeySetsChanged) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_FALSE(monitor.Changed());
    ASSERT_TRUE(registration_.SetText(L"", L"Planted", L"1"));
    EXPECT_TRUE(monitor.Changed());  // seen at once, not only once the thread ran
}

TEST_F(ComsecRegistry, ServerPathRewrittenSetsChanged) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_TRUE(registration_.SetText(L"InProcServer32", nullptr, temp_.File(L"other.dll")));
    EXPECT_TRUE(ChangedWithin(monitor, 5000));
}

TEST_F(ComsecRegistry, NewFileInServerDirectorySetsChanged) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_FALSE(monitor.Changed());
    const char content[] = "planted";
    ASSERT_TRUE(WriteWholeFile(temp_.File(L"planted.dll"),
                               reinterpret_cast<const std::uint8_t*>(content), sizeof content));
    EXPECT_TRUE(monitor.ChangedAfterSettling(5000));
}

TEST_F(ComsecRegistry, SecondStartKeepsTheRunningWatch) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_FALSE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_TRUE(registration_.SetText(L"", L"Planted", L"2"));
    EXPECT_TRUE(ChangedWithin(monitor, 5000));
}

TEST_F(ComsecRegistry, MonitorCanBeStartedAgainAfterReset) {
    ASSERT_TRUE(registration_.SetInProcServer(serverFile_));
    comsec::CEventMonitor monitor;
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    ASSERT_TRUE(registration_.SetText(L"", L"Planted", L"3"));
    ASSERT_TRUE(ChangedWithin(monitor, 5000));
    monitor.reset();
    EXPECT_FALSE(monitor.Changed());
    ASSERT_TRUE(monitor.StartMonitor(kTestClassA, IID_ITarnServer));
    EXPECT_FALSE(ChangedWithin(monitor, 200));
}

}  // namespace
