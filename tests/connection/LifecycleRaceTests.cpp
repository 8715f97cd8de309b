// Initialize and Finalize called at the same time from the threads a
// blade's callbacks run on: the delivery threads of the server's calls and
// the monitor thread's reconnection callback. Every call must come back with
// its code, and afterwards the stub must be in a state Finalize cleans up,
// with every registration the server saw unregistered.
#include "ConnectionTestSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "CurrentAdaptor.h"
#include "stub/ModuleState.h"

namespace {

using namespace connection_test;

// What a callback under test did: it acts once per arming only.
struct CallbackPlan {
    std::atomic<bool> armed{false};
    std::atomic<DWORD> finalized{0xFFFFFFFFu};
    std::atomic<DWORD> initialized{0xFFFFFFFFu};
    win::UniqueHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

    void Arm() {
        finalized = initialized = 0xFFFFFFFFu;
        ResetEvent(entered.get());
        ResetEvent(done.get());
        armed = true;
    }
} g_plan;

// Waits until the blade's own thread is inside Finalize (the adaptor is
// taken out and being stopped, which waits for this very callback), then
// finalises and initialises again from here.
void FinalizeAndInitializeDuringFinalize() {
    if (!g_plan.armed.exchange(false)) return;
    SetEvent(g_plan.entered.get());
    WaitUntil([] { return tarn_test::CurrentAdaptor() == nullptr; });
    g_plan.finalized = Finalize();
    g_plan.initialized = Initialize(12);
    SetEvent(g_plan.done.get());
}

void __cdecl OnConnectDuringFinalize() { FinalizeAndInitializeDuringFinalize(); }
void __cdecl OnActivationDuringFinalize(const LONG*, LONG) { FinalizeAndInitializeDuringFinalize(); }

class LifecycleRace : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        adaptor_testing::SetMonitorPeriod(50);
    }
};

TEST_F(LifecycleRace, ADeliveryCallbackFinalizesAndInitializesWhileTheBladeIsInFinalize) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, RegisterActivationStatusChangedNotificationCallback(&OnActivationDuringFinalize));
    g_plan.Arm();
    const LONG pacs[] = {4};
    const ULONG call = TarnRef_CallActivatePolicies(0, pacs, 1);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_plan.entered.get(), kWaitMs)) << Dumps();
    EXPECT_EQ(TARNSTUB_OK, FinalizeWithinBound());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_plan.done.get(), kWaitMs));
    // The blade's Finalize had already taken the session: the callback's
    // Finalize finds none, and its Initialize, on a thread of the session
    // being stopped, cannot wait for that stop: it starts nothing.
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, g_plan.finalized.load());
    EXPECT_EQ(TARNSTUB_PEER_STILL_HELD, g_plan.initialized.load());
    EXPECT_TRUE(TarnRef_WaitCall(call, kWaitMs, nullptr));
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    ExpectAllUnregistered(false);
}

TEST_F(LifecycleRace, AReconnectionCallbackFinalizesAndInitializesWhileTheBladeIsInFinalize) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&OnConnectDuringFinalize));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    g_plan.Arm();
    // The server restarts: the next tick reconnects on the monitor thread,
    // which then calls the blade.
    TarnRef_Restart();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_plan.entered.get(), kWaitMs)) << Dumps();
    EXPECT_EQ(TARNSTUB_OK, FinalizeWithinBound());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_plan.done.get(), kWaitMs));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, g_plan.finalized.load());
    EXPECT_EQ(TARNSTUB_PEER_STILL_HELD, g_plan.initialized.load());
    // Once the stop is over, the blade starts again.
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ExpectAllUnregistered(true);
}

}  // namespace
