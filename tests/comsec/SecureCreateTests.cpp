// The secure creation against the reference Tarn server (TarnRefServer.dll,
// linked into this program and registered as the in-process server of the
// Tarn server class, so COM loads the very module the controls steer).
#include "ComsecTestSupport.h"

#include "comsec/SecureCreate.h"
#include "tarnref.h"

using namespace comsec_test;

namespace {

class SecureCreate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(registration_.created());
        serverPath_ = ExeDirectory() + L"\\TarnRefServer.dll";
        ASSERT_TRUE(FileExists(serverPath_));
        TarnRef_SetPrepareReplySize(16);
        TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_NONE, nullptr);
    }
    void TearDown() override {
        TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_NONE, nullptr);
        TarnRef_SetPrepareReplySize(16);
    }

    HRESULT Create(win::ComPtr<ITarnServer>& server) {
        return comsec::SecureCreateInstance(CLSID_TarnServer, server, 0);
    }

    win::MtaScope mta_;
    ClassRegistration registration_{CLSID_TarnServer};
    std::wstring serverPath_;
};

TEST_F(SecureCreate, CreatesTheServerObject) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    const ULONG before = TarnRef_ClassObjectRequests();
    win::ComPtr<ITarnServer> server;
    ASSERT_EQ(Create(server), S_OK);
    ASSERT_NE(server.Get(), nullptr);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);
    win::ComPtr<ITarnServer> again;
    EXPECT_EQ(server.As(&again), S_OK);
}

TEST_F(SecureCreate, QuotedLocalServerPathIsValidated) {
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\"" + serverPath_ + L"\""));
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(Create(server), S_OK);
    EXPECT_NE(server.Get(), nullptr);
}

TEST_F(SecureCreate, NeitherSubkeyAbortsBeforeTheClassObject) {
    const ULONG before = TarnRef_ClassObjectRequests();
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(Create(server), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before);
}

TEST_F(SecureCreate, RefusedFileAbortsBeforeTheClassObject) {
    TempDirectory temp;
    const std::wstring text = temp.File(L"TarnRefServer.dll");
    const char content[] = "MZ not a server";
    ASSERT_TRUE(WriteWholeFile(text, reinterpret_cast<const std::uint8_t*>(content), sizeof content));
    ASSERT_TRUE(registration_.SetInProcServer(text));
    const ULONG before = TarnRef_ClassObjectRequests();
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(Create(server), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before);
}

TEST_F(SecureCreate, ReplyOfFifteenOrSeventeenBytesAborts) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    for (ULONG size : {15u, 17u, 0u}) {
        TarnRef_SetPrepareReplySize(size);
        win::ComPtr<ITarnServer> server;
        EXPECT_EQ(Create(server), E_ABORT) << size;
        EXPECT_EQ(server.Get(), nullptr) << size;
    }
    TarnRef_SetPrepareReplySize(16);
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(Create(server), S_OK);
}

TEST_F(SecureCreate, FailureEmptiesAHolderThatHeldAServer) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    win::ComPtr<ITarnServer> server;
    ASSERT_EQ(Create(server), S_OK);
    ASSERT_NE(server.Get(), nullptr);
    TarnRef_SetPrepareReplySize(17);
    EXPECT_EQ(Create(server), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
}

TEST_F(SecureCreate, RegistryWriteDuringCreationAborts) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_REGISTRY, L"ComsecPlanted");
    const ULONG before = TarnRef_ClassObjectRequests();
    win::ComPtr<ITarnServer> server;
    EXPECT_EQ(Create(server), E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);  // the change came from the server
}

TEST_F(SecureCreate, NewFileInServerDirectoryDuringCreationAborts) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    const std::wstring planted = ExeDirectory() + L"\\comsec-planted.tmp";
    ::DeleteFileW(planted.c_str());
    TarnRef_SetClassObjectSideEffect(TARNREF_SIDE_EFFECT_FILE, L"comsec-planted.tmp");
    win::ComPtr<ITarnServer> server;
    const HRESULT hr = Create(server);
    const bool plantedExists = FileExists(planted);
    ::DeleteFileW(planted.c_str());
    EXPECT_TRUE(plantedExists);
    EXPECT_EQ(hr, E_ABORT);
    EXPECT_EQ(server.Get(), nullptr);
}

}  // namespace
