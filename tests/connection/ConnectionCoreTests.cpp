// The connection with the stub's code linked in: the monitor thread at a
// short period (the server alive, absent, dead and back), and the
// adaptor driven directly for what the exports cannot reach (Stop twice, the
// critical start errors).
#include <memory>
#include <mutex>

#include "ConnectionTestSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"

namespace {

using namespace connection_test;

class ConnCore : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        adaptor_testing::SetMonitorPeriod(100);
    }
};

TEST_F(ConnCore, AliveServerIsOnlyCheckedAndOneThatDiesAndRestartsIsRegisteredWithAgain) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const ULONG firstCookie = TarnRef_LastCookie();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", 3, kWaitMs)) << Dumps();
    for (const std::wstring& call : CallsStartingWith(L"IsAlive("))
        EXPECT_EQ(L"IsAlive(cookie=" + std::to_wstring(firstCookie) + L")", call);

    TarnRef_SetDead(TRUE);
    ASSERT_TRUE(WaitForLog(kAlive, L"TARN is dead, hr: 0x80010108", 2)) << Dumps();
    EXPECT_EQ(L'W', Level(kAlive, L"TARN is dead, hr: 0x80010108"));
    EXPECT_EQ(1, g_connects.calls.load());
    EXPECT_EQ(1u, Count(L"Register"));

    TarnRef_Restart();
    ASSERT_TRUE(WaitForConnect()) << Dumps();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 2, kWaitMs)) << Dumps();
    const ULONG secondCookie = TarnRef_LastCookie();
    EXPECT_EQ(2, g_connects.calls.load());
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    TarnRef_ClearCallRecord();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    // Only the live registration is unregistered, with its own cookie.
    EXPECT_EQ((std::vector<std::wstring>{L"Unregister(cookie=" + std::to_wstring(secondCookie) + L")"}),
              CallsStartingWith(L"Unregister("))
        << Dumps() << " first cookie " << firstCookie;
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
}

TEST_F(ConnCore, ServerAbsentAtStartIsLookedForAtEveryTickAndConnectedOnceItAppears) {
    const std::wstring retrying =
        L"Non-Critical error connecting to TARN, automatic retries to connect to TARN will be performed";
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    // Every tick finds no server, says so, and tries again.
    ASSERT_TRUE(WaitForLog(kAlive, L"TARN is never born", 3)) << Dumps();
    ASSERT_TRUE(WaitForLog(kMonitor, retrying, 2)) << Dumps();
    EXPECT_EQ(L'I', Level(kAlive, L"TARN is never born"));
    EXPECT_EQ(L'W', Level(kMonitor, retrying));
    EXPECT_EQ(0, g_connects.calls.load());

    RegisterServer();
    ASSERT_TRUE(WaitForConnect()) << Dumps();
    // Connected: later ticks only check the server.
    ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", 3, kWaitMs)) << Dumps();
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_NE(GetCurrentThreadId(), g_connects.lastThread.load());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1, g_connects.calls.load());
    EXPECT_EQ(1u, Count(L"Unregister")) << Dumps();
    EXPECT_EQ(1u, Written(kMonitor, L"MonitorThread: Succeeded to connect to TARN")) << Dumps();
    EXPECT_EQ(1u, Written(kStop, L"TARN Instance released")) << Dumps();
}

// ----- The adaptor driven directly ------------------------------------------

using Errors = std::vector<std::pair<HRESULT, std::wstring>>;

// A peer that records what the adaptor tells it, from any thread.
struct RecordingPeer : TarnNotificationPeer {
    void OnConnect() override { ++connects; }
    void OnAdaptorError(HRESULT code, const std::wstring& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        errors.emplace_back(code, message);
    }
    Errors TakenErrors() {
        std::lock_guard<std::mutex> lock(mutex);
        return errors;
    }
    std::atomic<int> connects{0};
    std::mutex mutex;
    Errors errors;
};

class ConnCoreAdaptor : public ConnCore {
protected:
    // The adaptor runs in the multithreaded apartment, as on the init thread.
    win::MtaScope mta_;
    RecordingPeer peer_;
};

constexpr HRESULT kCritical = static_cast<HRESULT>(0x80580008);
constexpr HRESULT kAlreadyStopped = static_cast<HRESULT>(0x8058000A);

TEST_F(ConnCoreAdaptor, TypesFromTheMonitoringBoundaryUpAreRefusedAndStopTwiceIsAlreadyStopped) {
    auto adaptor = std::make_unique<TarnAdaptor>();
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), adaptor->Init(1000, &peer_));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), adaptor->Init(0xFFFFFFFFu, &peer_));
    // Nothing was changed, nothing was started.
    EXPECT_EQ(-1, adaptor->BladeType());
    EXPECT_EQ(nullptr, adaptor->NotificationPeer());
    EXPECT_EQ(0u, Count(L"Register"));
    EXPECT_TRUE(peer_.TakenErrors().empty());
    const std::wstring refusal = L", should not be used. Use values in range below: e_BladeType_MONITORING";
    for (const wchar_t* shown : {L"1000", L"-1"})
        EXPECT_EQ(L'E', Level(L"TarnAdaptor::Init", L"Blade type value: " + std::wstring(shown) + refusal)) << Dumps();

    ASSERT_EQ(S_OK, adaptor->Init(12, &peer_));
    EXPECT_EQ(1, peer_.connects.load());
    EXPECT_EQ(S_OK, adaptor->Stop());
    EXPECT_EQ(kAlreadyStopped, adaptor->Stop());
    EXPECT_EQ((Errors{{kAlreadyStopped, L"Already stopped, call abandoned"}}), peer_.TakenErrors());
    EXPECT_EQ(1u, Count(L"Unregister"));
    adaptor.reset();
    // The destructor stops once more and is told the same.
    EXPECT_EQ(2u, peer_.TakenErrors().size());
    EXPECT_EQ(1u, Count(L"Unregister")) << Dumps();
    EXPECT_EQ(2u, Written(kStop, L"Already stopped, call abandoned")) << Dumps();
}

// A type below the monitoring range without a peer: critical at the start,
// and at the monitor's reconnection when a second Init took the peer away.
TEST_F(ConnCoreAdaptor, PeerlessTypeBelowTheMonitoringRangeIsCriticalAtStartAndAtReconnection) {
    const ULONG creationsBefore = TarnRef_ClassObjectRequests();
    TarnAdaptor adaptor;
    EXPECT_EQ(kCritical, adaptor.Init(49, nullptr));
    EXPECT_EQ(49, adaptor.BladeType());
    EXPECT_EQ(L'I', Level(L"TarnAdaptor::InitGuid",
                          L"GUID: 0fd795e6-9d62-4e6c-ae11-c92ed292fc82 set, for bladeTpe: 49 (Used bladeType: 49)"));
    EXPECT_EQ(L'E', Level(kConnect, L"TarnAdaptor::SetNotificationPeer() should be called"));
    EXPECT_EQ(L'E', Level(kStart,
                          L"Critical error connecting to TARN, not starting Monitor thread, exiting with "
                          L"error"));
    EXPECT_EQ(0u, Written(kStart, L"Trying to create Monitor thread")) << Dumps();
    // The attempt ended before any server object was asked for.
    EXPECT_EQ(creationsBefore, TarnRef_ClassObjectRequests());
    EXPECT_EQ(0u, Count(L"Register"));
    // No monitor thread was started.
    EXPECT_EQ(kAlreadyStopped, adaptor.Stop());

    ASSERT_EQ(S_OK, adaptor.Init(12, &peer_));
    // A repeated Init overwrites type and peer and then finds the monitor
    // running; the next reconnection meets the missing peer.
    EXPECT_EQ(static_cast<HRESULT>(0x80580009), adaptor.Init(49, nullptr));
    EXPECT_EQ(L'W', Level(kStart, L"Monitor thread already started, call abandoned")) << Dumps();
    TarnRef_Restart();
    ASSERT_TRUE(WaitForLog(kMonitor, L"MonitorThread: Critical error connecting to TARN", 2)) << Dumps();
    EXPECT_EQ(L'E', Level(kMonitor, L"MonitorThread: Critical error connecting to TARN"));
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_EQ(1, peer_.connects.load());
    EXPECT_EQ(S_OK, adaptor.Stop());
}

TEST_F(ConnCoreAdaptor, BladeTypeWithoutAGuidFailsAfterStartingTheMonitor) {
    auto adaptor = std::make_unique<TarnAdaptor>();
    EXPECT_EQ(kCritical, adaptor->Init(20, &peer_));
    // The connection itself succeeded before the missing GUID was noticed.
    EXPECT_EQ(1, peer_.connects.load());
    EXPECT_EQ((Errors{{kCritical, L"Blade GUID was not set"}}), peer_.TakenErrors());
    EXPECT_EQ(L'E', Level(L"TarnAdaptor::InitGuid",
                          L"GUID was not found for blade: 20. Setting to GUID_NULL (Used bladeID: 20)"));
    EXPECT_EQ(L'E', Level(kStart, L"Blade GUID was not set")) << Dumps();
    EXPECT_EQ(1u, Written(kStart, L"Trying to create Monitor thread")) << Dumps();
    const ULONG cookie = TarnRef_LastCookie();
    adaptor.reset();
    // The destructor stops the monitor and unregisters.
    EXPECT_EQ(1u, Written(kStop, L"Monitor thread joined")) << Dumps();
    EXPECT_EQ((std::vector<std::wstring>{L"UnRegisterProvider(bladeGuid=00000000-0000-0000-0000-000000000000)",
                                         L"Unregister(cookie=" + std::to_wstring(cookie) + L")"}),
              CallsStartingWith(L"Un"))
        << Dumps();
}

}  // namespace
