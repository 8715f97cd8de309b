// A blade that loads TarnStub.dll itself and unloads it after Finalize. The
// stub's code must stay loaded for as long as anything may still run it (a
// delivery thread finishing after the callback that finalised the stub), and
// no longer: a server that still holds, or held when it died, the stub's
// callback object does not keep it. This program does not link the import
// library, so FreeLibrary really can unload the stub.
#include <gtest/gtest.h>

#include "ServerFixture.h"
#include "WaitUntil.h"
#include "win/raii.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using tarn_test::kWaitMs;
using tarn_test::WaitUntil;

// The few exports the cases use, resolved from the loaded stub.
struct Stub {
    HMODULE module = nullptr;
    decltype(&::Initialize) initialize = nullptr;
    decltype(&::Finalize) finalize = nullptr;
    decltype(&::RegisterActivationStatusChangedNotificationCallback) registerActivation = nullptr;

    bool Load() {
        module = LoadLibraryW(L"TarnStub.dll");
        if (!module) return false;
        initialize = Resolve<decltype(initialize)>("Initialize");
        finalize = Resolve<decltype(finalize)>("Finalize");
        registerActivation =
            Resolve<decltype(registerActivation)>("RegisterActivationStatusChangedNotificationCallback");
        return initialize && finalize && registerActivation;
    }
    template <typename Function>
    Function Resolve(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }
};

Stub g_stub;

bool StubIsLoaded() { return GetModuleHandleW(L"TarnStub.dll") != nullptr; }

class UnloadTest : public tarn_test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        ASSERT_FALSE(StubIsLoaded()) << "the program must not load the stub by itself";
        ASSERT_TRUE(g_stub.Load());
    }
};

// The callback finalises the stub, lets the blade go on, and is still
// running when the blade unloads the stub.
struct LingeringCallback {
    static void TARNSTUB_CALL OnActivation(const LONG*, LONG) {
        result = g_stub.finalize();
        SetEvent(finalized);
        Sleep(300);  // the blade unloads the stub meanwhile
    }
    static inline DWORD result = 0xFFFFFFFFu;
    static inline HANDLE finalized = nullptr;
};

TEST_F(UnloadTest, ADeliveryThreadStillRunningKeepsTheStubLoadedUntilItEnds) {
    win::UniqueHandle finalized(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    LingeringCallback::finalized = finalized.get();
    ASSERT_EQ(TARNSTUB_OK, g_stub.initialize(12));
    ASSERT_EQ(TARNSTUB_OK, g_stub.registerActivation(&LingeringCallback::OnActivation));
    const LONG pacs[] = {3};
    ASSERT_NE(0u, TarnRef_CallActivatePolicies(0, pacs, 1));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(finalized.get(), kWaitMs));
    EXPECT_EQ(TARNSTUB_OK, LingeringCallback::result);
    ASSERT_TRUE(FreeLibrary(g_stub.module));
    // The delivery thread returns into the stub after this; the stub goes
    // only once it has left.
    EXPECT_TRUE(StubIsLoaded());
    EXPECT_TRUE(WaitUntil([] { return !StubIsLoaded(); })) << "the delivery thread never let the stub go";
}

// The server refuses Unregister and keeps its reference to the stub's
// callback object. Finalize disconnects the object from COM: the server's
// reference goes dead, the stub unloads with FreeLibrary, and a later call of
// the server fails instead of running the stub's code.
TEST_F(UnloadTest, AServerThatStillHoldsTheCallbackObjectIsCutOffAndTheStubUnloads) {
    TarnRef_FailOperation(L"Unregister", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, g_stub.initialize(12));
    ASSERT_EQ(TARNSTUB_OK, g_stub.finalize());
    ASSERT_EQ(1u, TarnRef_RegistrationCount());
    ASSERT_TRUE(FreeLibrary(g_stub.module));
    EXPECT_TRUE(WaitUntil([] { return !StubIsLoaded(); })) << "the stub stayed loaded";
    HRESULT result = S_OK;
    const LONG pacs[] = {5};
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePolicies(0, pacs, 1), kWaitMs, &result));
    EXPECT_TRUE(FAILED(result)) << std::hex << result;
    TarnRef_Reset();
}

// Connects the blade's callback of a load that is gone; it must never run.
struct FormerLoad {
    static void TARNSTUB_CALL OnConnect() { ++calls; }
    static inline std::atomic<int> calls{0};
};

// The server process ends while it holds the blade's registration and its
// callback object, and nothing tells the blade's process. Finalize returns
// at once, the stub unloads, and a new load starts from a fresh state: it
// never calls a callback registered with the load before.
TEST_F(UnloadTest, AfterADeadServerTheStubUnloadsAndANewLoadStartsFresh) {
    const auto registerConnect = g_stub.Resolve<decltype(&::RegisterConnectToTarnNotificationCallback)>(
        "RegisterConnectToTarnNotificationCallback");
    ASSERT_TRUE(registerConnect);
    ASSERT_EQ(TARNSTUB_OK, registerConnect(&FormerLoad::OnConnect));
    ASSERT_EQ(TARNSTUB_OK, g_stub.initialize(12));
    ASSERT_EQ(1, FormerLoad::calls.load());
    ASSERT_TRUE(TarnRef_ExitServer(kWaitMs));
    EXPECT_EQ(TARNSTUB_OK, tarn_test::FinishesWithin("Finalize", [] { return g_stub.finalize(); }));
    ASSERT_TRUE(FreeLibrary(g_stub.module));
    EXPECT_TRUE(WaitUntil([] { return !StubIsLoaded(); })) << "the stub stayed loaded";

    ASSERT_TRUE(g_stub.Load());
    ASSERT_NE(0u, TarnRef_StartServer(kServerStartMs));
    ASSERT_EQ(TARNSTUB_OK, g_stub.initialize(12));
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    EXPECT_EQ(TARNSTUB_OK, g_stub.finalize());
    EXPECT_EQ(1, FormerLoad::calls.load()) << "a callback of the former load was called";
    ASSERT_TRUE(FreeLibrary(g_stub.module));
}

}  // namespace
