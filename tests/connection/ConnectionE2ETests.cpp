// The connection to the Tarn server as a blade sees it through the exports:
// what the server receives at registration, the log of every step, the
// blade's connect callback, the failures of the secure creation and of the
// registration, and the unregistration at Finalize.
#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ConnectionTestSupport.h"
#include "LogFile.h"
#include "ServerFixture.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using connection_test::Connects;
using connection_test::CountingConnectCallback;
using connection_test::Hex8;
using connection_test::Narrow;
using tarn_test::CountMessages;
using tarn_test::EntriesOf;
using tarn_test::LevelOf;
using tarn_test::ServerTest;
using tarn_test::TextsOf;

const wchar_t kConnect[] = L"TarnAdaptor::ConnectToTARN";
const wchar_t kStart[] = L"TarnAdaptor::Start";
const wchar_t kStop[] = L"TarnAdaptor::Stop";
const wchar_t kPeerError[] = L"TarnNotificationPeer::OnAdaptorError";

const wchar_t kNonCriticalAtStart[] =
    L"Non-Critical error connecting to TARN,  continuing initialization and automatic retries to connect to "
    L"TARN will be performed";

class ConnectionE2ETest : public ServerTest {
public:
    static void UnregisterServerForTest() { UnregisterServer(); }

protected:
    void SetUp() override {
        ServerTest::SetUp();
        Connects().calls = 0;
    }

    // The prefix's registry outlives this test: leave no server registered
    // for tests that expect none.
    void TearDown() override { UnregisterServer(); }

    static size_t Count(const std::wstring& operation) { return TarnRef_CountCalls(operation.c_str()); }

    // The index of the first recorded line equal to line, or -1.
    static int IndexOfCall(const std::wstring& line) {
        const auto calls = Calls();
        const auto found = std::find(calls.begin(), calls.end(), line);
        return found == calls.end() ? -1 : static_cast<int>(found - calls.begin());
    }

    std::string Dumps() const { return "log:\n" + LogDump() + "server:\n" + CallDump(); }

    static void SetPayloadTypes(std::vector<const wchar_t*> types) {
        ASSERT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(types.data(), static_cast<LONG>(types.size())));
    }
};

// ----- Register and AddExpectedMessageTypes -------------------------------

class ConnE2ERegister : public ConnectionE2ETest {};

TEST_F(ConnE2ERegister, UrlFilteringRegistersItsTypeWithItsDefaultPolicyTypesInOrder) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    const auto registers = CallsStartingWith(L"Register(");
    ASSERT_EQ(1u, registers.size()) << Dumps();
    EXPECT_EQ(L"Register(bladeType=9, policyTypes=VT_UI4[lb=0]{77,80,78,51})", registers[0]);
    // No payload response types: the server is never asked to expect any.
    EXPECT_EQ(0u, Count(L"AddExpectedMessageTypes")) << Dumps();
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(ConnE2ERegister, PeerlessBladeRegistersInItsMonitoringForm) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUiTarnStub());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ((std::vector<std::wstring>{L"Register(bladeType=1009, policyTypes=VT_UI4[lb=0]{51})"}),
              CallsStartingWith(L"Register("))
        << Dumps();
    // The identity it unregisters with is the user interface's GUID.
    EXPECT_EQ(1u, CountMessages(LogLines(), kStop,
                                L"UnRegisterProvider BladeType: 1009, BladeGuid: "
                                L"d39e7d2c-0bd9-489b-b2a4-17306d40d4a8, hr: 0x00000001"))
        << Dumps();
}

TEST_F(ConnE2ERegister, BladeWithoutPolicyTypesRegistersAnEmptyArray) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_GE(IndexOfCall(L"Register(bladeType=12, policyTypes=VT_UI4[lb=0]{})"), 0) << Dumps();
    EXPECT_EQ(L'W', LevelOf(LogLines(), kConnect,
                            L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription"))
        << Dumps();
}

TEST_F(ConnE2ERegister, BladePolicyTypesReplaceTheDefaultsAndTravelUnsigned) {
    const DWORD types[] = {60, 0xFFFFFFFFu, 0};
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPolicyTypes(types, 3));
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_GE(IndexOfCall(L"Register(bladeType=13, policyTypes=VT_UI4[lb=0]{60,4294967295,0})"), 0) << Dumps();
}

TEST_F(ConnE2ERegister, PayloadResponseTypesFollowRegisterInListOrder) {
    SetPayloadTypes({L"zeta", L"alpha", L"mid dle"});
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const ULONG cookie = TarnRef_LastCookie();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    const int registered = IndexOfCall(L"Register(bladeType=12, policyTypes=VT_UI4[lb=0]{})");
    const int expected = IndexOfCall(L"AddExpectedMessageTypes(cookie=" + std::to_wstring(cookie) +
                                     L", messageTypes=VT_BSTR[lb=0]{\"zeta\",\"alpha\",\"mid dle\"})");
    ASSERT_GE(registered, 0) << Dumps();
    EXPECT_EQ(registered + 1, expected) << Dumps();
    EXPECT_EQ(1u, Count(L"AddExpectedMessageTypes")) << Dumps();
    const auto lines = LogLines();
    EXPECT_EQ(L'I', LevelOf(lines, kConnect, L"Trying to register to payload response types: ( zeta, alpha, mid dle ) "))
        << Dumps();
    EXPECT_EQ(1u, CountMessages(lines, kConnect, L"\tRegistering to payload response types succeded")) << Dumps();
}

TEST_F(ConnE2ERegister, SinglePayloadResponseTypeListText) {
    SetPayloadTypes({L"only"});
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, CountMessages(LogLines(), kConnect, L"Trying to register to payload response types: ( only ) "))
        << Dumps();
    EXPECT_EQ(1u, CallsStartingWith(L"AddExpectedMessageTypes(cookie=1, messageTypes=VT_BSTR[lb=0]{\"only\"})").size())
        << Dumps();
}

// ----- The log of a connection --------------------------------------------

class ConnE2ELog : public ConnectionE2ETest {};

TEST_F(ConnE2ELog, SuccessfulConnectionLogsEveryStepInOrder) {
    SetPayloadTypes({L"a", L"b", L"c"});
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    const auto lines = LogLines();
    const std::vector<std::wstring> expected = {
        L"Connecting to TARN...",
        L"TarnAdaptor::SetSupportedPoliceis() should be called, no policy subscription",
        L"Blade: 12 did not set supported blade messages",
        L"Trying to SecureCreateInstance, bladeType: 12",
        L"\tSecureCreateInstance succeded, saving TARN pointer",
        L"Trying to Register to TARN, bladeType: 12",
        L"\tRegistration succeded",
        L"Trying to register to payload response types: ( a, b, c ) ",
        L"\tRegistering to payload response types succeded",
        L"Connected to TARN. Notifying Blade",
        L"Calling OnConnect, to notify blades",
        L"Calling OnSuccesfullConnectToTarn",
        L"Exiting, finished succefully",
    };
    EXPECT_EQ(expected, TextsOf(lines, kConnect)) << Dumps();
    for (const auto& line : EntriesOf(lines, kConnect)) {
        const bool warning = line.text.find(L"should be called") != std::wstring::npos;
        EXPECT_EQ(warning ? L'W' : L'I', line.level) << Narrow(line.text);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Enter", L"Exit"}),
              TextsOf(lines, L"TarnAdaptor::OnSuccesfullConnectToTarn"))
        << Dumps();

    const auto start = TextsOf(lines, kStart);
    ASSERT_EQ(4u, start.size()) << Dumps();
    EXPECT_EQ(L"Called", start[0]);
    EXPECT_EQ(L"Succeeded to connect to TARN, continuing initialization", start[1]);
    EXPECT_EQ(L"Trying to create Monitor thread", start[2]);
    EXPECT_EQ(0u, start[3].rfind(L"Monitor thread created. TID=", 0)) << Narrow(start[3]);
}

TEST_F(ConnE2ELog, FinalizeStopsTheMonitorThenUnregistersWithTheServer) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    const ULONG cookie = TarnRef_LastCookie();
    ASSERT_NE(0u, cookie);
    TarnRef_ClearCallRecord();
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    const std::wstring guid = L"d768ed28-11bf-4226-a366-02ccf87500ca";
    // The provider was never registered, so the reference server answers S_FALSE.
    EXPECT_EQ((std::vector<std::wstring>{L"UnRegisterProvider(bladeGuid=" + guid + L")",
                                         L"Unregister(cookie=" + std::to_wstring(cookie) + L")"}),
              Calls())
        << Dumps();
    EXPECT_EQ(0u, TarnRef_RegistrationCount());

    // The destructor's second stop only finds the monitor already stopped.
    const std::vector<std::wstring> expected = {
        L"Called",
        L"Monitor thread termination event raised",
        L"Monitor thread joined",
        L"UnRegisterProvider BladeType: 9, BladeGuid: " + guid + L", hr: 0x00000001",
        L"UnRegistering BladeType: 9, BladeCookie: " + std::to_wstring(cookie) + L", hr: 0x00000000",
        L"TARN Instance released",
        L"Called",
        L"Already stopped, call abandoned",
    };
    const auto lines = LogLines();
    EXPECT_EQ(expected, TextsOf(lines, kStop)) << Dumps();
    EXPECT_EQ(L'W', LevelOf(lines, kStop, L"Already stopped, call abandoned"));
    EXPECT_EQ(1u, CountMessages(lines, L"TarnAdaptor::TARNMonitorPorocedure",
                                L"MonitorThread: Termination request received, exiting"))
        << Dumps();
}

TEST_F(ConnE2ELog, FailedUnregistrationIsOnlyLogged) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(14));
    TarnRef_FailOperation(L"UnRegisterProvider", E_FAIL);
    TarnRef_FailOperation(L"Unregister", RPC_E_DISCONNECTED);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountMessages(lines, kStop,
                                L"UnRegisterProvider BladeType: 14, BladeGuid: a71736b0-af22-4b4a-b88f-0680b2f15370, "
                                L"hr: 0x80004005"))
        << Dumps();
    EXPECT_EQ(1u, CountMessages(lines, kStop, L"UnRegistering BladeType: 14, BladeCookie: 1, hr: 0x80010108"))
        << Dumps();
    EXPECT_EQ(1u, CountMessages(lines, kStop, L"TARN Instance released")) << Dumps();
    // The stub is really stopped: a second Finalize finds nothing.
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
}

// ----- The blade's connect callback ---------------------------------------

class ConnE2EConnect : public ConnectionE2ETest {};

TEST_F(ConnE2EConnect, BladeWithAPeerHearsOfTheConnectionBeforeInitializeReturns) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(1, Connects().calls.load());
    // The first attempt runs on the init thread, never on the blade's own.
    EXPECT_NE(GetCurrentThreadId(), Connects().lastThread.load());
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1, Connects().calls.load());
}

TEST_F(ConnE2EConnect, PeerlessBladeGetsNoCallbackButTheBasePeerLogsTheConnection) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(11));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0, Connects().calls.load());
    EXPECT_EQ(1u, CountMessages(LogLines(), L"TarnNotificationPeer::OnConnect", L"Connected")) << Dumps();
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

TEST_F(ConnE2EConnect, ConnectCallbackOfTheFirstAttemptMayQueryAPolicy) {
    const char policy[] = "<policy/>";
    TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&QueryPolicyOnConnect));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(1, Connects().calls.load());
    EXPECT_EQ(TARNSTUB_OK, g_policyResultInCallback);
    EXPECT_EQ(L"<policy/>", g_policyInCallback);
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, Count(L"GetPolicyContent")) << Dumps();
}

// ----- A server object that cannot be created -----------------------------

struct CreationFailure {
    const char* name;
    void (*arrange)();
    HRESULT expected;  // 0: any failure
};

void PrintTo(const CreationFailure& failure, std::ostream* out) { *out << failure.name; }

void ServerNotRegistered() { ConnectionE2ETest::UnregisterServerForTest(); }
void ReplyTooShort() { TarnRef_SetPrepareReplySize(15); }
void ReplyTooLong() { TarnRef_SetPrepareReplySize(17); }
void PrepareRefused() { TarnRef_FailOperation(L"PrepareCreate", E_ACCESSDENIED); }
void CreateRefused() { TarnRef_FailOperation(L"CreateForProcess", E_OUTOFMEMORY); }
void ServerDead() { TarnRef_SetDead(TRUE); }

class ConnE2ESecureCreate : public ConnectionE2ETest,
                            public ::testing::WithParamInterface<CreationFailure> {};

TEST_P(ConnE2ESecureCreate, FailedCreationIsNonCriticalAndReported) {
    SetPayloadTypes({L"T"});
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    GetParam().arrange();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12)) << Dumps();
    EXPECT_EQ(0, Connects().calls.load());

    const auto lines = LogLines();
    const auto connect = EntriesOf(lines, kConnect);
    ASSERT_FALSE(connect.empty());
    const std::wstring prefix = L"\tSecureCreateInstance failed, hr: 0x";
    const auto failed = std::find_if(connect.begin(), connect.end(), [&](const tarn_test::LogEntry& l) {
        return l.text.rfind(prefix, 0) == 0;
    });
    ASSERT_NE(connect.end(), failed) << Dumps();
    EXPECT_EQ(L'E', failed->level);
    // The attempt ends right there.
    EXPECT_EQ(&*failed, &connect.back()) << Dumps();
    const std::wstring text = failed->text.substr(1);
    if (GetParam().expected != 0) {
        EXPECT_EQ(L"SecureCreateInstance failed, hr: " + Hex8(GetParam().expected) + L", exiting", text);
    } else {
        EXPECT_EQ(L"SecureCreateInstance failed, hr: 0x8", text.substr(0, 36)) << Narrow(text);
        EXPECT_EQ(L", exiting", text.substr(text.size() - 9)) << Narrow(text);
    }
    EXPECT_EQ(L'E', LevelOf(lines, kPeerError, L"hr: 0x80580002 message: " + text)) << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kStart, kNonCriticalAtStart)) << Dumps();
    EXPECT_EQ(0u, CountMessages(lines, kStart, L"Succeeded to connect to TARN, continuing initialization"));
    EXPECT_EQ(0u, Count(L"Register")) << Dumps();
    EXPECT_EQ(0u, Count(L"AddExpectedMessageTypes")) << Dumps();

    // Not connected: a request fails without reaching a server.
    TarnRef_SetDead(FALSE);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(nullptr, content);
    EXPECT_EQ(0u, Count(L"GetPolicyContent")) << Dumps();

    // Nothing was registered, so nothing is unregistered.
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Count(L"Unregister") + Count(L"UnRegisterProvider")) << Dumps();
    EXPECT_EQ(0u, CountMessages(LogLines(), kStop, L"TARN Instance released")) << Dumps();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnE2ESecureCreate,
    ::testing::Values(CreationFailure{"ServerNotRegistered", &ServerNotRegistered, E_ABORT},
                      CreationFailure{"ReplyOf15Bytes", &ReplyTooShort, E_ABORT},
                      CreationFailure{"ReplyOf17Bytes", &ReplyTooLong, E_ABORT},
                      CreationFailure{"PrepareCreateRefused", &PrepareRefused, E_ACCESSDENIED},
                      CreationFailure{"CreateForProcessRefused", &CreateRefused, E_OUTOFMEMORY},
                      CreationFailure{"ServerDead", &ServerDead, 0}),
    [](const ::testing::TestParamInfo<CreationFailure>& info) { return std::string(info.param.name); });

// ----- Register and AddExpectedMessageTypes failing -----------------------

class ConnE2ERegistrationFailure : public ConnectionE2ETest {};

TEST_F(ConnE2ERegistrationFailure, RegisterFailingReleasesTheServerAndGoesOn) {
    SetPayloadTypes({L"T"});
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    TarnRef_FailOperation(L"Register", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(0, Connects().calls.load());

    const std::wstring text =
        L"Registration failed, hr: 0x80004005. Failed to register to TARN, releasing TARN pointer, exiting";
    const auto lines = LogLines();
    const auto connect = TextsOf(lines, kConnect);
    ASSERT_FALSE(connect.empty());
    EXPECT_EQ(L"\t" + text, connect.back()) << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kConnect, L"\t" + text));
    EXPECT_EQ(L'E', LevelOf(lines, kPeerError, L"hr: 0x80580003 message: " + text)) << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kStart, kNonCriticalAtStart)) << Dumps();
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_EQ(0u, Count(L"AddExpectedMessageTypes")) << Dumps();

    // The server pointer was released: requests find no server.
    TarnRef_FailOperation(L"Register", 0);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(0u, Count(L"GetPolicyContent")) << Dumps();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Count(L"Unregister") + Count(L"UnRegisterProvider")) << Dumps();
}

TEST_F(ConnE2ERegistrationFailure, AddExpectedMessageTypesFailingLeavesTheRegistrationAlone) {
    SetPayloadTypes({L"T1", L"T2"});
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    TarnRef_FailOperation(L"AddExpectedMessageTypes", E_INVALIDARG);
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(0, Connects().calls.load());

    const std::wstring text =
        L"AddExpectedMessageTypes failed, hr: 0x80070057. Failed to set Expected messages, failing registration "
        L"to TARN";
    const auto lines = LogLines();
    const auto connect = EntriesOf(lines, kConnect);
    ASSERT_GE(connect.size(), 2u);
    EXPECT_EQ(L"\t" + text, connect[connect.size() - 2].text) << Dumps();
    EXPECT_EQ(L'E', connect[connect.size() - 2].level);
    EXPECT_EQ(L"Releasing Tarn pointer, exiting", connect.back().text) << Dumps();
    EXPECT_EQ(L'E', connect.back().level);
    EXPECT_EQ(L'E', LevelOf(lines, kPeerError, L"hr: 0x80580003 message: " + text)) << Dumps();
    EXPECT_EQ(L'E', LevelOf(lines, kStart, kNonCriticalAtStart)) << Dumps();
    EXPECT_EQ((std::vector<std::wstring>{
                  L"AddExpectedMessageTypes(cookie=1, messageTypes=VT_BSTR[lb=0]{\"T1\",\"T2\"}) -> 0x80070057"}),
              CallsStartingWith(L"AddExpectedMessageTypes("))
        << Dumps();

    TarnRef_FailOperation(L"AddExpectedMessageTypes", 0);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(0u, Count(L"GetPolicyContent")) << Dumps();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    // The registration is neither unregistered then nor at Finalize.
    EXPECT_EQ(0u, Count(L"Unregister") + Count(L"UnRegisterProvider")) << Dumps();
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
}

// ----- The server absent at start, for one real monitor period ------------

class ConnE2EAbsent : public ConnectionE2ETest {};

TEST_F(ConnE2EAbsent, ServerThatAppearsLaterIsConnectedAtTheFirstTick) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    UnregisterServer();
    const ULONGLONG started = GetTickCount64();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(0, Connects().calls.load());
    RegisterServer();

    ASSERT_TRUE(connection_test::WaitForConnect(45000)) << Dumps();
    const ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_GE(elapsed, 29000u);
    EXPECT_EQ(1, Connects().calls.load());
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    const auto lines = LogLines();
    EXPECT_EQ(1u, CountMessages(lines, L"TarnAdaptor::IsTARNAlive", L"TARN is never born")) << Dumps();
    EXPECT_EQ(L'I', LevelOf(lines, L"TarnAdaptor::IsTARNAlive", L"TARN is never born"));
    EXPECT_EQ(L'V', LevelOf(lines, L"TarnAdaptor::TARNMonitorPorocedure",
                            L"MonitorThread: IsTARNAlive returned false, trying to connect to TARN"))
        << Dumps();
    EXPECT_EQ(L'I', LevelOf(lines, L"TarnAdaptor::TARNMonitorPorocedure",
                            L"MonitorThread: Succeeded to connect to TARN"))
        << Dumps();
    EXPECT_EQ(1u, Count(L"Register")) << Dumps();
    EXPECT_EQ(0u, Count(L"IsAlive")) << Dumps();
}

// ----- The blade's apartment ----------------------------------------------

class ConnE2EApartment : public ConnectionE2ETest {};

TEST_F(ConnE2EApartment, BladeThreadInTheMultithreadedApartmentIsNotTakenOutOfIt) {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    BSTR content = nullptr;
    GetPolicy(60, 2, &content);
    SysFreeString(content);
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    ASSERT_EQ(S_OK, CoGetApartmentType(&type, &qualifier));
    EXPECT_EQ(APTTYPE_MTA, type);
    // Still the thread's own membership, not the implicit one that other
    // threads would leave behind after a stray CoUninitialize.
    EXPECT_EQ(APTTYPEQUALIFIER_NONE, qualifier);
    CoUninitialize();
}

}  // namespace
