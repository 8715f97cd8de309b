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
    void SetUp() override { ASSERT_TRUE(registration_.created()); }
    void TearDown() override { TarnRef_Reset(); }

    // The result of one creation; the holder must be empty unless it succeeded.
    HRESULT Create(win::ComPtr<ITarnServer>& server) {
        const HRESULT hr = comsec::SecureCreateInstance(CLSID_TarnServer, server, 0);
        EXPECT_EQ(hr == S_OK, server.Get() != nullptr) << std::hex << hr;
        return hr;
    }

    win::MtaScope mta_;
    ClassRegistration registration_{CLSID_TarnServer};
    const std::wstring serverPath_ = ExeDirectory() + L"\\TarnRefServer.dll";
    win::ComPtr<ITarnServer> server_;
};

// COM is asked only for the kind of server whose file was validated. With
// a "LocalServer32" registered as well, the in-process file is never used,
// even where COM on its own would prefer it.
TEST_F(SecureCreate, CreatesFromAnInProcServerOnlyWhenNoLocalServerIsRegistered) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    const ULONG before = TarnRef_ClassObjectRequests();
    ASSERT_EQ(Create(server_), S_OK);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);

    // The validated "local server" here is the DLL itself, which no local
    // activation can start: the creation fails without touching the DLL.
    ASSERT_TRUE(registration_.SetText(L"LocalServer32", nullptr, L"\"" + serverPath_ + L"\""));
    EXPECT_TRUE(FAILED(Create(server_)));
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);
    EXPECT_EQ(server_.Get(), nullptr);
}

// Refusals before any server code: no server subkey, or a file the
// validator refuses in place of the server.
TEST_F(SecureCreate, RefusalsComeBeforeTheClassObject) {
    const ULONG before = TarnRef_ClassObjectRequests();
    EXPECT_EQ(Create(server_), E_ABORT);
    TempDirectory temp;
    ASSERT_TRUE(WriteWholeFile(temp.File(L"TarnRefServer.dll"), "MZ not a server"));
    ASSERT_TRUE(registration_.SetInProcServer(temp.File(L"TarnRefServer.dll")));
    EXPECT_EQ(Create(server_), E_ABORT);
    EXPECT_EQ(TarnRef_ClassObjectRequests(), before);
}

// A class registered per user, which COM would prefer, refuses the creation
// before any server code runs, whichever registry view holds it.
TEST_F(SecureCreate, APerUserRegistrationOfTheClassRefusesTheCreation) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    for (REGSAM view : {REGSAM(0), REGSAM(KEY_WOW64_32KEY), REGSAM(KEY_WOW64_64KEY)}) {
        SCOPED_TRACE(view);
        const ULONG before = TarnRef_ClassObjectRequests();
        {
            PerUserRegistration perUser(CLSID_TarnServer, view, serverPath_);
            ASSERT_TRUE(perUser.created());
            EXPECT_EQ(Create(server_), E_ABORT);
            EXPECT_EQ(TarnRef_ClassObjectRequests(), before);
        }
        ASSERT_EQ(Create(server_), S_OK);
        EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);
    }
}

// A failure also empties a holder that held a server before.
TEST_F(SecureCreate, ReplyOtherThanSixteenBytesAborts) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    for (ULONG size : {15u, 17u, 0u}) {
        TarnRef_SetPrepareReplySize(16);
        ASSERT_EQ(Create(server_), S_OK);
        TarnRef_SetPrepareReplySize(size);
        EXPECT_EQ(Create(server_), E_ABORT) << size;
        EXPECT_EQ(server_.Get(), nullptr) << size;
    }
}

TEST_F(SecureCreate, ChangeMadeByTheServerDuringCreationAborts) {
    ASSERT_TRUE(registration_.SetInProcServer(serverPath_));
    const std::wstring planted = ExeDirectory() + L"\\comsec-planted.tmp";
    ::DeleteFileW(planted.c_str());
    for (int kind : {TARNREF_SIDE_EFFECT_REGISTRY, TARNREF_SIDE_EFFECT_FILE}) {
        TarnRef_SetClassObjectSideEffect(kind,
                                         kind == TARNREF_SIDE_EFFECT_FILE ? L"comsec-planted.tmp" : L"ComsecPlanted");
        const ULONG before = TarnRef_ClassObjectRequests();
        EXPECT_EQ(Create(server_), E_ABORT) << kind;
        EXPECT_EQ(TarnRef_ClassObjectRequests(), before + 1);  // the change came from the server
    }
    EXPECT_TRUE(FileExists(planted));
    ::DeleteFileW(planted.c_str());
}

}  // namespace
