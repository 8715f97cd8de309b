// The connection to the Tarn server as a blade sees it through the exports:
// what the server receives at registration, the log of a connection and of
// its stop, the blade's connect callback, how a failed attempt leaves the
// stub, and the server appearing after one real monitor period.
#include <algorithm>

#include "ConnectionTestSupport.h"

namespace {

using namespace connection_test;

TEST_F(ConnectionTest, PeerlessBladeRegistersInItsMonitoringFormWithUnsignedPolicyTypes) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUiTarnStub());
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    const auto registers = CallsStartingWith(L"Register(");
    EXPECT_EQ(std::vector<std::wstring>{L"Register(bladeType=1009, policyTypes=VT_UI4[lb=0]{51})"}, registers);
    // No payload response types: the server is never asked to expect any.
    EXPECT_EQ(0u, Count(L"AddExpectedMessageTypes")) << Dumps();
}

DWORD g_policyResultInCallback = 0xFFFFFFFFu;
std::wstring g_policyInCallback;

void __cdecl QueryPolicyOnConnect() {
    BSTR content = nullptr;
    g_policyResultInCallback = GetPolicy(60, 2, &content);
    if (content) g_policyInCallback.assign(content, SysStringLen(content));
    SysFreeString(content);
    CountingConnectCallback();
}

// A blade without policy types, with payload response types, whose connect
// callback asks for a policy.
TEST_F(ConnectionTest, ConnectionAndStopGoStepByStepAndTheBladeHearsBeforeInitializeReturns) {
    const char policy[] = "<policy/>";
    TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&QueryPolicyOnConnect));
    const wchar_t* payloadTypes[] = {L"zeta", L"alpha", L"mid dle"};
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(payloadTypes, 3));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(1, g_connects.calls.load());
    // The first attempt runs on the init thread, never on the blade's own.
    EXPECT_NE(GetCurrentThreadId(), g_connects.lastThread.load());
    EXPECT_EQ(TARNSTUB_OK, g_policyResultInCallback);
    EXPECT_EQ(L"<policy/>", g_policyInCallback);
    const std::wstring cookie = std::to_wstring(TarnRef_LastCookie());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1, g_connects.calls.load());

    const std::wstring guid = L"8b72560a-b4fd-41f9-84fe-996614524539";
    const auto calls = Calls();
    const auto registered = std::find_if(calls.begin(), calls.end(),
                                         [](const std::wstring& call) { return call.rfind(L"Register(", 0) == 0; });
    // The provider was never registered, so the reference server answers S_FALSE at the stop.
    EXPECT_EQ((std::vector<std::wstring>{L"Register(bladeType=12, policyTypes=VT_UI4[lb=0]{})",
                                         L"AddExpectedMessageTypes(cookie=" + cookie +
                                             L", messageTypes=VT_BSTR[lb=0]{\"zeta\",\"alpha\",\"mid dle\"})",
                                         L"GetPolicyContent(policyType=60, pac=2)",
                                         L"UnRegisterProvider(bladeGuid=" + guid + L")",
                                         L"Unregister(cookie=" + cookie + L")"}),
              std::vector<std::wstring>(registered, calls.end()))
        << Dumps();
    EXPECT_EQ(0u, TarnRef_RegistrationCount());

    const auto lines = LogLines();
    const std::vector<std::wstring> connect = {
        L"Connecting to TARN...",
        L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription",
        L"Blade: 12 did not set supported blade messages",
        L"Trying to SecureCreateInstance, bladeType: 12",
        L"\tSecureCreateInstance succeded, saving TARN pointer",
        L"Trying to Register to TARN, bladeType: 12",
        L"\tRegistration succeded",
        L"Trying to register to payload response types: ( zeta, alpha, mid dle ) ",
        L"\tRegistering to payload response types succeded",
        L"Connected to TARN. Notifying Blade",
        L"Calling OnConnect, to notify blades",
        L"Calling OnSuccesfullConnectToTarn",
        L"Exiting, finished succefully"};
    EXPECT_EQ(connect, TextsOf(lines, kConnect)) << Dumps();
    for (const auto& line : EntriesOf(lines, kConnect))
        EXPECT_EQ(line.text.find(L"should be called") != std::wstring::npos ? L'W' : L'I', line.level);
    EXPECT_EQ((std::vector<std::wstring>{L"Enter", L"Exit"}),
              TextsOf(lines, L"TarnAdaptor::OnSuccesfullConnectToTarn"));
    const auto start = TextsOf(lines, kStart);
    ASSERT_EQ(4u, start.size()) << Dumps();
    EXPECT_EQ((std::vector<std::wstring>{L"Called", L"Succeeded to connect to TARN, continuing initialization",
                                         L"Trying to create Monitor thread", start[3]}),
              start);
    EXPECT_EQ(0u, start[3].rfind(L"Monitor thread created. TID=", 0)) << testing::PrintToString(start[3]);

    // The destructor's second stop only finds the monitor already stopped.
    const std::vector<std::wstring> stop = {
        L"Called",
        L"Monitor thread termination event raised",
        L"Monitor thread joined",
        L"UnRegisterProvider BladeType: 12, BladeGuid: " + guid + L", hr: 0x00000001",
        L"UnRegistering BladeType: 12, BladeCookie: " + cookie + L", hr: 0x00000000",
        L"TARN Instance released",
        L"Called",
        L"Already stopped, call abandoned"};
    EXPECT_EQ(stop, TextsOf(lines, kStop)) << Dumps();
    EXPECT_EQ(L'W', LevelOf(lines, kStop, L"Already stopped, call abandoned"));
    EXPECT_EQ(1u, CountMessages(lines, kMonitor, L"MonitorThread: Termination request received, exiting"));
}

// ----- A failed first attempt ---------------------------------------------

struct FailureCase {
    const char* name;
    const wchar_t* failingOperation;  // nullptr: no server registered
    HRESULT failure;
    // The last lines of the attempt (all errors), and the code the peer is
    // told with the first of them.
    std::vector<std::wstring> lastLines;
    const wchar_t* peerCode;
    ULONG registerCalls, registrationsLeft;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class ConnE2EFailure : public ConnectionTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ConnE2EFailure, AttemptEndsNonCriticallyAndLeavesNoServerToUse) {
    const FailureCase& c = GetParam();
    const wchar_t* payloadTypes[] = {L"T1", L"T2"};
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(payloadTypes, 2));
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    if (c.failingOperation)
        TarnRef_FailOperation(c.failingOperation, c.failure);
    else
        UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12)) << Dumps();
    EXPECT_EQ(0, g_connects.calls.load());
    const auto connect = EntriesOf(LogLines(), kConnect);
    ASSERT_GE(connect.size(), c.lastLines.size()) << Dumps();
    for (size_t i = 0; i < c.lastLines.size(); ++i) {
        const auto& entry = connect[connect.size() - c.lastLines.size() + i];
        EXPECT_EQ(c.lastLines[i], entry.text) << Dumps();
        EXPECT_EQ(L'E', entry.level);
    }
    const std::wstring peerError = L"hr: " + std::wstring(c.peerCode) + L" message: " + c.lastLines[0].substr(1);
    EXPECT_EQ(L'E', Level(L"TarnNotificationPeer::OnAdaptorError", peerError)) << Dumps();
    EXPECT_EQ(L'E', Level(kStart,
                          L"Non-Critical error connecting to TARN,  continuing initialization and "
                          L"automatic retries to connect to TARN will be performed"));
    EXPECT_EQ(0u, Written(kStart, L"Succeeded to connect to TARN, continuing initialization"));
    EXPECT_EQ(c.registerCalls, Count(L"Register")) << Dumps();

    // Not connected: a request fails without reaching a server.
    if (c.failingOperation) TarnRef_FailOperation(c.failingOperation, S_OK);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(nullptr, content);
    EXPECT_EQ(0u, Count(L"GetPolicyContent")) << Dumps();
    // Nothing is unregistered, not even a registration that was made.
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Count(L"Unregister") + Count(L"UnRegisterProvider")) << Dumps();
    EXPECT_EQ(0u, Written(kStop, L"TARN Instance released")) << Dumps();
    EXPECT_EQ(c.registrationsLeft, TarnRef_RegistrationCount());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, ConnE2EFailure,
    ::testing::Values(
        FailureCase{"ServerNotRegistered",
                    nullptr,
                    S_OK,
                    {L"\tSecureCreateInstance failed, hr: 0x80004004, exiting"},
                    L"0x80580002",
                    0,
                    0},
        FailureCase{"RegisterFailed",
                    L"Register",
                    E_FAIL,
                    {L"\tRegistration failed, hr: 0x80004005. Failed to "
                     L"register to TARN, releasing TARN pointer, exiting"},
                    L"0x80580003",
                    1,
                    0},
        FailureCase{"AddExpectedMessageTypesFailed",
                    L"AddExpectedMessageTypes",
                    E_INVALIDARG,
                    {L"\tAddExpectedMessageTypes failed, hr: 0x80070057. Failed to set Expected messages, failing "
                     L"registration to TARN",
                     L"Releasing Tarn pointer, exiting"},
                    L"0x80580003",
                    1,
                    1}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// The one case that waits for the real monitor period.
TEST_F(ConnectionTest, ServerThatAppearsLaterIsConnectedAtTheFirstTick) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    UnregisterServer();
    const ULONGLONG started = GetTickCount64();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(0, g_connects.calls.load());
    RegisterServer();
    ASSERT_TRUE(WaitForConnect(45000)) << Dumps();
    EXPECT_GE(GetTickCount64() - started, 29000u);
    EXPECT_EQ(1, g_connects.calls.load());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, Written(kAlive, L"TARN is never born")) << Dumps();
    EXPECT_EQ(L'V', Level(kMonitor, L"MonitorThread: IsTARNAlive returned false, trying to connect to TARN"));
    EXPECT_EQ(L'I', Level(kMonitor, L"MonitorThread: Succeeded to connect to TARN")) << Dumps();
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_EQ(0u, Count(L"IsAlive")) << Dumps();
}

}  // namespace
