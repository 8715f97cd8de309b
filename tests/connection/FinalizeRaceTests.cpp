// Finalize against the blade's connect callback. A callback of a
// reconnection runs on the monitor thread and calls GetPolicy, which takes
// the module lock, while the blade's main thread calls Finalize, which must
// wait for that very thread: Finalize has to come back, and GetPolicy has to
// give a defined answer (the policy while the stub is still initialised,
// code 2 once Finalize has taken the adaptor away). A callback may also call
// Finalize itself, at the first connection or at a reconnection.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>

#include "ConnectionTestSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "CurrentAdaptor.h"
#include "stub/ModuleState.h"

namespace {

using namespace connection_test;

// Far beyond what a Finalize that is not stuck needs.
constexpr DWORD kFinalizeBoundMs = 15000;
constexpr size_t kRounds = 6;

// What the callback under test saw. It acts once per arming only, so that
// connections outside the case leave it alone.
struct CallbackState {
    std::atomic<bool> armed{false};
    std::atomic<bool> waitForDetach{false};
    std::atomic<bool> sawDetach{false};
    std::atomic<DWORD> result{0xFFFFFFFFu};
    std::wstring policy;  // written by the callback before done is set
    win::UniqueHandle entered{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
} g_state;

void __cdecl GetPolicyOnConnect() {
    if (!g_state.armed.exchange(false)) return;
    SetEvent(g_state.entered.get());
    if (g_state.waitForDetach) g_state.sawDetach = WaitUntil([] { return tarn_test::CurrentAdaptor() == nullptr; });
    BSTR content = nullptr;
    g_state.result = GetPolicy(60, 2, &content);
    if (content) g_state.policy.assign(content, SysStringLen(content));
    SysFreeString(content);
    SetEvent(g_state.done.get());
}

void __cdecl FinalizeOnConnect() {
    if (!g_state.armed.exchange(false)) return;
    g_state.result = Finalize();
    SetEvent(g_state.done.get());
}

class ConnCoreFinalize : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        adaptor_testing::SetMonitorPeriod(50);
    }

    // Finalize on a thread of its own, so that a deadlock ends this program
    // with a message instead of hanging it.
    static DWORD FinalizeWithinBound() {
        auto finalize = std::async(std::launch::async, [] { return Finalize(); });
        if (finalize.wait_for(std::chrono::milliseconds(kFinalizeBoundMs)) != std::future_status::ready) {
            std::fprintf(stderr, "Finalize did not return within %lu ms: deadlock\n", kFinalizeBoundMs);
            TerminateProcess(GetCurrentProcess(), 3);
        }
        return finalize.get();
    }

    // The stub is gone for good: exports find no adaptor, the server was
    // told (for the time given), and the stub can be initialised again.
    void ExpectFinalized(size_t time) {
        BSTR content = nullptr;
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, GetPolicy(60, 2, &content));
        ASSERT_TRUE(WaitUntil([&] { return Count(L"Unregister") == time; })) << CallDump();
        EXPECT_TRUE(WaitUntil([&] { return Written(kStop, L"TARN Instance released") == time; }));
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        EXPECT_EQ(TARNSTUB_OK, Finalize());
    }
};

// Rounds alternate between a callback that asks at once and one that asks
// only once Finalize has taken the adaptor away.
TEST_F(ConnCoreFinalize, FinalizeRacingTheReconnectionCallbacksGetPolicyCompletesWithADefinedCode) {
    const char policy[] = "<engine/>";
    TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&GetPolicyOnConnect));
    for (size_t round = 1; round <= kRounds; ++round) {
        const bool afterDetach = g_state.waitForDetach = round % 2 == 0;
        SCOPED_TRACE("round " + std::to_string(round));
        g_state.sawDetach = false;
        g_state.result = 0xFFFFFFFFu;
        g_state.policy.clear();
        ResetEvent(g_state.done.get());
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        g_state.armed = true;
        // The server restarts: the next tick finds the old object gone and
        // reconnects on the monitor thread, which then calls the blade.
        TarnRef_Restart();
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.entered.get(), kWaitMs)) << LogDump();
        EXPECT_EQ(TARNSTUB_OK, FinalizeWithinBound());
        // Finalize joined the monitor thread, so the callback is over.
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.done.get(), 0));
        const DWORD result = g_state.result;
        EXPECT_EQ(afterDetach, g_state.sawDetach.load());
        // Once the adaptor is gone only "not initialised" is a defined answer.
        EXPECT_TRUE((result == TARNSTUB_OK && !afterDetach) || result == TARNSTUB_NOT_INITIALIZED) << result;
        EXPECT_EQ(result == TARNSTUB_OK ? L"<engine/>" : L"", g_state.policy);
        EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    }
    EXPECT_EQ(kRounds, Written(kStop, L"Monitor thread joined")) << LogDump();
    EXPECT_EQ(kRounds, Written(kMonitor, L"MonitorThread: Succeeded to connect to TARN"));
}

TEST_F(ConnCoreFinalize, FinalizeFromTheCallbackOfTheFirstConnectionAndOfAReconnection) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&FinalizeOnConnect));
    g_state.armed = true;
    // The callback runs on the init thread before Initialize returns.
    EXPECT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.done.get(), kWaitMs));
    EXPECT_EQ(TARNSTUB_OK, g_state.result.load());
    ASSERT_TRUE(WaitUntil([&] { return LogHas(L"TarnAdaptor::~TarnAdaptor: Called"); })) << LogDump();
    // The adaptor was destroyed only after it had finished starting: its
    // monitor thread was created, then joined, then the adaptor went.
    const auto lines = LogLines();
    const auto firstWith = [&](const wchar_t* text) {
        return std::find_if(lines.begin(), lines.end(), [&](const auto& l) { return l.find(text) != l.npos; });
    };
    const auto joined = firstWith(L"TarnAdaptor::Stop: Monitor thread joined");
    const auto destroyed = firstWith(L"TarnAdaptor::~TarnAdaptor: Called");
    EXPECT_LT(firstWith(L"TarnAdaptor::Start: Monitor thread created."), joined) << LogDump();
    EXPECT_LT(joined, destroyed) << LogDump();
    EXPECT_LT(destroyed, lines.end()) << LogDump();
    ExpectFinalized(1);

    // Again from the monitor thread, at a reconnection.
    ResetEvent(g_state.done.get());
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    g_state.armed = true;
    TarnRef_Restart();
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.done.get(), kFinalizeBoundMs))
        << "Finalize called from the monitor thread did not return\n"
        << LogDump();
    EXPECT_EQ(TARNSTUB_OK, g_state.result.load());
    ExpectFinalized(3);
}

// A connect callback that restarts the stub: Finalize, Initialize and a
// provider description from inside the first connection.
struct RestartPlan {
    std::atomic<DWORD> initialized{0xFFFFFFFFu};
    std::atomic<DWORD> provider{0xFFFFFFFFu};
} g_restart;

const wchar_t* const kPropertyNames[] = {L"version"};
const wchar_t* const kPropertyValues[] = {L"2.0"};
const ProviderInfoData kProvider = {
    L"restarting blade", kPropertyNames, kPropertyValues, 1, nullptr, nullptr, 0, nullptr, 0};

void __cdecl RestartOnConnect() {
    if (!g_state.armed.exchange(false)) return;
    g_state.result = Finalize();
    g_restart.initialized = Initialize(12);
    g_restart.provider = CollectProviderInfo(&kProvider);
    SetEvent(g_state.done.get());
}

// The callback cannot wait for the stop it asked for (it runs inside the
// very connection being stopped), so its Initialize starts nothing; the
// blade's next Initialize waits until the old session has unregistered, so
// the server never drops the new provider for the old one's sake.
TEST_F(ConnCoreFinalize, ARestartFromTheConnectCallbackStartsOnlyOnceTheOldSessionHasUnregistered) {
    const GUID bladeGuid = {0x8b72560a, 0xb4fd, 0x41f9, {0x84, 0xfe, 0x99, 0x66, 0x14, 0x52, 0x45, 0x39}};
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&RestartOnConnect));
    g_state.armed = true;
    EXPECT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_state.done.get(), kWaitMs));
    EXPECT_EQ(TARNSTUB_OK, g_state.result.load());
    EXPECT_EQ(TARNSTUB_PEER_STILL_HELD, g_restart.initialized.load());
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, g_restart.provider.load());

    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(1u, Count(L"Unregister")) << CallDump();
    ASSERT_EQ(TARNSTUB_OK, CollectProviderInfo(&kProvider)) << Dumps();
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&bladeGuid)) << CallDump();
    const std::vector<std::wstring> calls = Calls();
    const auto last = [&](const wchar_t* prefix) {
        for (size_t i = calls.size(); i-- > 0;)
            if (calls[i].rfind(prefix, 0) == 0) return i;
        return calls.size();
    };
    EXPECT_LT(last(L"UnRegisterProvider("), last(L"RegisterProvider(")) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&kProvider)) << Dumps();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
