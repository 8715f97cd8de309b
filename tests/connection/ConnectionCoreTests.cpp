// The connection with the stub's code linked in: the monitor thread at a
// short period (ticks with the server alive, absent, dead and back, a failed
// registration retried), and the adaptor driven directly for what the
// exports cannot reach (Stop twice, the critical start errors).
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ConnectionTestSupport.h"
#include "LogFile.h"
#include "ServerFixture.h"
#include "WaitUntil.h"
#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using connection_test::Connects;
using connection_test::CountingConnectCallback;
using tarn_test::CountMessages;
using tarn_test::kWaitMs;
using tarn_test::LevelOf;
using tarn_test::ServerTest;
using tarn_test::WaitUntil;

constexpr DWORD kShortPeriodMs = 100;

const wchar_t kMonitor[] = L"TarnAdaptor::TARNMonitorPorocedure";
const wchar_t kAlive[] = L"TarnAdaptor::IsTARNAlive";
const wchar_t kConnect[] = L"TarnAdaptor::ConnectToTARN";
const wchar_t kStart[] = L"TarnAdaptor::Start";

class ConnectionCoreTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Connects().calls = 0;
        adaptor_testing::SetMonitorPeriod(kShortPeriodMs);
    }

    // The prefix's registry outlives this test: leave no server registered
    // for tests that expect none.
    void TearDown() override { UnregisterServer(); }

    static ULONG Count(const wchar_t* operation) { return TarnRef_CountCalls(operation); }

    bool WaitForLog(const wchar_t* function, const std::wstring& message, size_t count = 1) const {
        return WaitUntil([&] { return CountMessages(LogLines(), function, message) >= count; }, kWaitMs);
    }

    std::string Dumps() const { return "log:\n" + LogDump() + "server:\n" + CallDump(); }
};

// ----- Monitor ticks --------------------------------------------------------

class ConnCoreMonitor : public ConnectionCoreTest {};

TEST_F(ConnCoreMonitor, TickWithTheServerAliveAsksIsAliveWithTheCookie) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const ULONG cookie = TarnRef_LastCookie();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", 3, kWaitMs)) << Dumps();
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    const std::wstring expected = L"IsAlive(cookie=" + std::to_wstring(cookie) + L")";
    for (const std::wstring& call : CallsStartingWith(L"IsAlive(")) EXPECT_EQ(expected, call);
    // An alive server is left as it is: one registration, one notification.
    EXPECT_EQ(1u, Count(L"Register"));
    EXPECT_EQ(1, Connects().calls.load());
    EXPECT_EQ(0u, CountMessages(LogLines(), kMonitor,
                                L"MonitorThread: IsTARNAlive returned false, trying to connect to TARN"))
        << Dumps();
}

TEST_F(ConnCoreMonitor, ServerAbsentAtStartIsConnectedOnceItAppears) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const DWORD initThread = Connects().lastThread.load();

    // Every tick finds no server, says so, and tries again.
    ASSERT_TRUE(WaitForLog(kAlive, L"TARN is never born", 3)) << Dumps();
    ASSERT_TRUE(WaitForLog(kMonitor,
                           L"Non-Critical error connecting to TARN, automatic retries to connect to TARN will be "
                           L"performed",
                           2))
        << Dumps();
    EXPECT_EQ(0, Connects().calls.load());

    RegisterServer();
    ASSERT_TRUE(connection_test::WaitForConnect(kWaitMs)) << Dumps();
    // Connected: later ticks only check the server.
    ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", 3, kWaitMs)) << Dumps();
    const DWORD monitorThread = Connects().lastThread.load();
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    EXPECT_EQ(1, Connects().calls.load());
    EXPECT_NE(initThread, monitorThread);
    EXPECT_NE(GetCurrentThreadId(), monitorThread);
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    const auto lines = LogLines();
    EXPECT_EQ(L'I', LevelOf(lines, kAlive, L"TARN is never born"));
    EXPECT_EQ(L'W', LevelOf(lines, kMonitor,
                            L"Non-Critical error connecting to TARN, automatic retries to connect to TARN will be "
                            L"performed"));
    EXPECT_EQ(1u, CountMessages(lines, kMonitor, L"MonitorThread: Succeeded to connect to TARN")) << Dumps();
    EXPECT_EQ(1u, CountMessages(lines, L"TarnAdaptor::Stop", L"TARN Instance released")) << Dumps();
}

TEST_F(ConnCoreMonitor, ServerThatDiesAndRestartsIsRegisteredWithAgain) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(1, Connects().calls.load());
    const ULONG firstCookie = TarnRef_LastCookie();

    TarnRef_SetDead(TRUE);
    ASSERT_TRUE(WaitForLog(kAlive, L"TARN is dead, hr: 0x80010108", 2)) << Dumps();
    EXPECT_EQ(L'W', LevelOf(LogLines(), kAlive, L"TARN is dead, hr: 0x80010108"));
    EXPECT_EQ(1, Connects().calls.load());
    EXPECT_EQ(1u, Count(L"Register"));

    TarnRef_Restart();
    ASSERT_TRUE(connection_test::WaitForConnect(kWaitMs)) << Dumps();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 2, kWaitMs)) << Dumps();
    const ULONG secondCookie = TarnRef_LastCookie();
    EXPECT_EQ(2, Connects().calls.load());
    EXPECT_EQ(1u, TarnRef_RegistrationCount());

    TarnRef_ClearCallRecord();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    // Only the live registration is unregistered, with its own cookie.
    EXPECT_EQ((std::vector<std::wstring>{L"Unregister(cookie=" + std::to_wstring(secondCookie) + L")"}),
              CallsStartingWith(L"Unregister("))
        << Dumps() << " first cookie " << firstCookie;
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
}

TEST_F(ConnCoreMonitor, FailedRegistrationIsRetriedAtTheNextTicks) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    TarnRef_FailOperation(L"Register", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 3, kWaitMs)) << Dumps();
    EXPECT_EQ(0, Connects().calls.load());
    // The released server counts as never born.
    EXPECT_GE(CountMessages(LogLines(), kAlive, L"TARN is never born"), 2u) << Dumps();

    TarnRef_FailOperation(L"Register", 0);
    ASSERT_TRUE(connection_test::WaitForConnect(kWaitMs)) << Dumps();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", 2, kWaitMs)) << Dumps();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1, Connects().calls.load());
    EXPECT_EQ(1u, TarnRef_RegistrationCount() + Count(L"Unregister")) << Dumps();
}

// ----- The adaptor driven directly ------------------------------------------

// A peer that records what the adaptor tells it.
class RecordingPeer : public TarnNotificationPeer {
public:
    void OnConnect() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connects_;
    }
    void OnAdaptorError(HRESULT code, const std::wstring& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        errors_.emplace_back(code, message);
    }
    int Connects() {
        std::lock_guard<std::mutex> lock(mutex_);
        return connects_;
    }
    std::vector<std::pair<HRESULT, std::wstring>> Errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_;
    }

private:
    std::mutex mutex_;
    int connects_ = 0;
    std::vector<std::pair<HRESULT, std::wstring>> errors_;
};

using Errors = std::vector<std::pair<HRESULT, std::wstring>>;

class ConnCoreAdaptor : public ConnectionCoreTest {
protected:
    // The adaptor runs in the multithreaded apartment, as on the init thread.
    win::MtaScope mta_;
    RecordingPeer peer_;
};

TEST_F(ConnCoreAdaptor, StopTwiceReturnsSuccessThenAlreadyStopped) {
    auto adaptor = std::make_unique<TarnAdaptor>();
    ASSERT_EQ(S_OK, adaptor->Init(12, &peer_));
    EXPECT_EQ(1, peer_.Connects());
    EXPECT_EQ(S_OK, adaptor->Stop());
    EXPECT_EQ(static_cast<HRESULT>(0x8058000A), adaptor->Stop());
    EXPECT_EQ((Errors{{static_cast<HRESULT>(0x8058000A), L"Already stopped, call abandoned"}}), peer_.Errors());
    EXPECT_EQ(1u, Count(L"Unregister"));
    adaptor.reset();
    // The destructor stops once more and is told the same.
    EXPECT_EQ(2u, peer_.Errors().size());
    EXPECT_EQ(1u, Count(L"Unregister")) << Dumps();
    EXPECT_EQ(2u, CountMessages(LogLines(), L"TarnAdaptor::Stop", L"Already stopped, call abandoned")) << Dumps();
}

TEST_F(ConnCoreAdaptor, SecondInitFindsTheMonitorAlreadyStarted) {
    TarnAdaptor adaptor;
    ASSERT_EQ(S_OK, adaptor.Init(12, &peer_));
    EXPECT_EQ(static_cast<HRESULT>(0x80580009), adaptor.Init(12, &peer_));
    EXPECT_EQ((Errors{{static_cast<HRESULT>(0x80580009), L"Monitor thread already started, call abandoned"}}),
              peer_.Errors());
    EXPECT_EQ(L'W', LevelOf(LogLines(), kStart, L"Monitor thread already started, call abandoned")) << Dumps();
    // No second attempt was made.
    EXPECT_EQ(1u, Count(L"Register"));
    EXPECT_EQ(1, peer_.Connects());
}

TEST_F(ConnCoreAdaptor, PeerlessTypeBelowTheMonitoringRangeIsACriticalError) {
    const ULONG creationsBefore = TarnRef_ClassObjectRequests();
    TarnAdaptor adaptor;
    EXPECT_EQ(static_cast<HRESULT>(0x80580008), adaptor.Init(49, nullptr));
    EXPECT_EQ(49, adaptor.BladeType());
    const auto lines = LogLines();
    EXPECT_EQ(L'I', LevelOf(lines, L"TarnAdaptor::InitGuid",
                            L"GUID: 0fd795e6-9d62-4e6c-ae11-c92ed292fc82 set, for bladeTpe: 49 (Used bladeType: 49)"))
        << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kConnect, L"TarnAdaptor::SetNotificationPeer() should be called")) << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kStart,
                            L"Critical error connecting to TARN, not starting Monitor thread, exiting with error"))
        << Dumps();
    EXPECT_EQ(0u, CountMessages(lines, kStart, L"Trying to create Monitor thread")) << Dumps();
    EXPECT_EQ(0u, Count(L"Register"));
    // The attempt ended before any server object was asked for.
    EXPECT_EQ(creationsBefore, TarnRef_ClassObjectRequests());
    // No monitor thread was started.
    EXPECT_EQ(static_cast<HRESULT>(0x8058000A), adaptor.Stop());
}

TEST_F(ConnCoreAdaptor, BladeTypesFromTheMonitoringBoundaryUpAreRefused) {
    TarnAdaptor adaptor;
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), adaptor.Init(1000, &peer_));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), adaptor.Init(0xFFFFFFFFu, &peer_));
    // Nothing was changed, nothing was started.
    EXPECT_EQ(-1, adaptor.BladeType());
    EXPECT_EQ(nullptr, adaptor.NotificationPeer());
    EXPECT_EQ(0u, Count(L"Register"));
    EXPECT_EQ(0, peer_.Connects());
    EXPECT_TRUE(peer_.Errors().empty());
    const auto lines = LogLines();
    EXPECT_EQ(L'E', LevelOf(lines, L"TarnAdaptor::Init",
                            L"Blade type value: 1000, should not be used. Use values in range below: "
                            L"e_BladeType_MONITORING"))
        << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, L"TarnAdaptor::Init",
                            L"Blade type value: -1, should not be used. Use values in range below: "
                            L"e_BladeType_MONITORING"))
        << Dumps();
}

TEST_F(ConnCoreAdaptor, BladeTypeWithoutAGuidFailsAfterStartingTheMonitor) {
    auto adaptor = std::make_unique<TarnAdaptor>();
    EXPECT_EQ(static_cast<HRESULT>(0x80580008), adaptor->Init(20, &peer_));
    // The connection itself succeeded before the missing GUID was noticed.
    EXPECT_EQ(1, peer_.Connects());
    EXPECT_EQ((Errors{{static_cast<HRESULT>(0x80580008), L"Blade GUID was not set"}}), peer_.Errors());
    auto lines = LogLines();
    EXPECT_EQ(L'E', LevelOf(lines, L"TarnAdaptor::InitGuid",
                            L"GUID was not found for blade: 20. Setting to GUID_NULL (Used bladeID: 20)"))
        << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kStart, L"Blade GUID was not set")) << Dumps();
    EXPECT_EQ(1u, CountMessages(lines, kStart, L"Trying to create Monitor thread")) << Dumps();

    const ULONG cookie = TarnRef_LastCookie();
    adaptor.reset();
    // The destructor stops the monitor and unregisters.
    lines = LogLines();
    EXPECT_EQ(1u, CountMessages(lines, L"TarnAdaptor::Stop", L"Monitor thread joined")) << Dumps();
    EXPECT_EQ((std::vector<std::wstring>{L"UnRegisterProvider(bladeGuid=00000000-0000-0000-0000-000000000000)"}),
              CallsStartingWith(L"UnRegisterProvider("))
        << Dumps();
    EXPECT_EQ((std::vector<std::wstring>{L"Unregister(cookie=" + std::to_wstring(cookie) + L")"}),
              CallsStartingWith(L"Unregister("))
        << Dumps();
}

TEST_F(ConnCoreAdaptor, MonitorTickWithoutAPeerBelowTheMonitoringRangeIsCritical) {
    TarnAdaptor adaptor;
    ASSERT_EQ(S_OK, adaptor.Init(12, &peer_));
    // A repeated Init overwrites type and peer and then finds the monitor
    // running; the next reconnection meets the missing peer.
    EXPECT_EQ(static_cast<HRESULT>(0x80580009), adaptor.Init(49, nullptr));
    TarnRef_Restart();
    ASSERT_TRUE(WaitForLog(kMonitor, L"MonitorThread: Critical error connecting to TARN", 2)) << Dumps();
    EXPECT_EQ(L'E', LevelOf(LogLines(), kMonitor, L"MonitorThread: Critical error connecting to TARN"));
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_EQ(S_OK, adaptor.Stop());
}

}  // namespace
