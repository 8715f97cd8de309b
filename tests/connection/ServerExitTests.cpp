// The server process ending under a connected blade: between two calls, or
// in the middle of one. Each request then fails at once with its own code
// and its failure line, and Finalize still returns at once, whatever the
// dead server process held of the blade.
#include <functional>

#include "ConnectionTestSupport.h"

namespace {

using namespace connection_test;

// What a dead server process answers: during the call that it left
// unanswered, and to every call after it had ended.
constexpr wchar_t kCallCut[] = L"0x800706be";
constexpr wchar_t kServerGone[] = L"0x800706ba";

const wchar_t kBladeGuid[] = L"8b72560a-b4fd-41f9-84fe-996614524539";
const GUID kOperation = {0x5e0a11d5, 0x7a72, 0x4e00, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2a}};

DWORD AskPolicy() {
    BSTR content = nullptr;
    const DWORD result = GetPolicy(60, 2, &content);
    SysFreeString(content);
    return result;
}

DWORD AskCompliance() {
    DWORD compliant = 0, changed = 0;
    return QueryCompliance(&compliant, &changed);
}

DWORD AskActivations() {
    LONG pacs[8] = {};
    LONG count = 8;
    return GetActivationStatus(pacs, &count);
}

DWORD ReportOperation() {
    const OperationStatusData data = {kOperation, 2, L"a", L"b", 7};
    return SetOperationStatus(&data);
}

DWORD SendLogRecord() {
    const BYTE record[] = {'l', 'o', 'g'};
    return CollectLog(record, sizeof record);
}

DWORD DescribeProvider() {
    const wchar_t* const names[] = {L"p"};
    const wchar_t* const values[] = {L"v"};
    const ProviderInfoData data = {L"prov", names, values, 1, nullptr, nullptr, 0, nullptr, 0};
    return CollectProviderInfo(&data);
}

DWORD SendPayload() {
    BSTR response = nullptr;
    const DWORD result = SendBladePayload(L"kind", L"data", &response);
    SysFreeString(response);
    return result;
}

struct ExitCase {
    const char* name;
    // Null: the server exits before the request; else it exits in the
    // middle of this operation of the request.
    const wchar_t* exitDuring;
    std::function<DWORD()> request;
    DWORD code;
    const wchar_t* function;
    std::wstring failure;  // followed by the HRESULT of the dead server
    std::wstring after = L"";
};

void PrintTo(const ExitCase& c, std::ostream* out) { *out << c.name; }

class ServerExit : public ConnectionTest, public ::testing::WithParamInterface<ExitCase> {
protected:
    void InitializeConnected() {
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        ASSERT_EQ(1u, TarnRef_RegistrationCount()) << Dumps();
        serverProcess_ = TarnRef_ServerProcessId();
        ASSERT_NE(0u, serverProcess_);
        ASSERT_NE(GetCurrentProcessId(), serverProcess_);
    }

    // Looked for by its process id: asking the server anything once it has
    // gone would start a fresh server process.
    static bool ServerProcessEnded(ULONG id) {
        win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, id));
        return !process || WaitForSingleObject(process.get(), kWaitMs) == WAIT_OBJECT_0;
    }

    ULONG serverProcess_ = 0;
};

TEST_P(ServerExit, RequestFailsAtOnceWithItsCodeAndFinalizeStillReturns) {
    const ExitCase& c = GetParam();
    InitializeConnected();
    if (c.exitDuring)
        TarnRef_ExitDuring(c.exitDuring);
    else
        ASSERT_TRUE(TarnRef_ExitServer(kWaitMs));

    EXPECT_EQ(c.code, FinishesWithin("the request", c.request));
    EXPECT_TRUE(ServerProcessEnded(serverProcess_));
    const std::wstring hr = c.exitDuring ? kCallCut : kServerGone;
    EXPECT_EQ(L'E', Level(c.function, c.failure + hr + c.after)) << LogDump();
    // Requests do not reconnect: the next one fails as every call after the
    // process's end does.
    EXPECT_EQ(c.code, FinishesWithin("the second request", c.request));
    EXPECT_EQ(c.exitDuring ? 1u : 2u, Written(c.function, c.failure + kServerGone + c.after)) << LogDump();

    EXPECT_EQ(TARNSTUB_OK, FinishesWithin("Finalize", [] { return Finalize(); }));
    EXPECT_EQ(L'I', Level(kStop, L"UnRegisterProvider BladeType: 12, BladeGuid: " + std::wstring(kBladeGuid) +
                                     L", hr: " + kServerGone))
        << LogDump();
    EXPECT_EQ(1u, Written(kStop, L"TARN Instance released")) << LogDump();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ServerExit,
    ::testing::Values(
        ExitCase{"GetPolicyBetweenCalls", nullptr, AskPolicy, TARNSTUB_POLICY_FAILED,
                 L"TarnAdaptor::QueryPolicyContent", L"GetPolicyContent call failed, hr: "},
        ExitCase{"GetPolicyInTheCall", L"GetPolicyContent", AskPolicy, TARNSTUB_POLICY_FAILED,
                 L"TarnAdaptor::QueryPolicyContent", L"GetPolicyContent call failed, hr: "},
        ExitCase{"QueryCompliance", nullptr, AskCompliance, TARNSTUB_COMPLIANCE_FAILED, L"TarnAdaptor::QueryCompliance",
                 L"CheckCompliance call failed, hr: "},
        ExitCase{"GetActivationStatus", nullptr, AskActivations, TARNSTUB_ACTIVATION_FAILED,
                 L"TarnAdaptor::QueryActivations", L"GetActivations call failed, hr: "},
        ExitCase{"SetOperationStatus", nullptr, ReportOperation, TARNSTUB_OPERATION_STATUS_FAILED,
                 L"TarnAdaptor::SetOperationStatus",
                 L"SetOperationStatus with opGuid: 5e0a11d5-7a72-4e00-8000-00000000002a, opStatus: 2, call failed, "
                 L"hr: ",
                 L". "},
        ExitCase{"CollectLog", nullptr, SendLogRecord, TARNSTUB_LOG_FAILED, L"TarnAdaptor::CollectLog",
                 L"LOG_CreateLogQueue call failed, hr: "},
        ExitCase{"CollectProviderInfo", nullptr, DescribeProvider, TARNSTUB_PROVIDER_INFO_FAILED,
                 L"TarnAdaptor::SendProviderInfo",
                 L"RegisterProvider call failed, not sending providerInfo. BladeGuid: " + std::wstring(kBladeGuid) +
                     L", hr: "},
        ExitCase{"CollectPayload", nullptr, [] { return CollectPayload(L"kind", L"data"); }, TARNSTUB_PAYLOAD_FAILED,
                 L"TarnAdaptor::TriggerPayloadPoll", L"TriggerPayloadPoll call failed, hr: "},
        ExitCase{"SendBladePayload", nullptr, SendPayload, TARNSTUB_BLADE_PAYLOAD_FAILED,
                 L"TarnAdaptor::SendBladeMessage", L"SendBladeMessage failed. Message Type: kind, hr: "}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

// The dead server process held the blade's registration and its callback
// object. Neither keeps Finalize waiting or a later start from working: the
// next Initialize registers with a fresh server process, which ends by itself
// after Finalize (the fixture checks that).
TEST_F(ConnectionTest, FinalizeWithADeadServerReturnsAtOnceAndTheStubStartsAgainOnAFreshServer) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const ULONG first = TarnRef_ServerProcessId();
    const std::wstring cookie = std::to_wstring(TarnRef_LastCookie());
    ASSERT_TRUE(TarnRef_ExitServer(kWaitMs));

    EXPECT_EQ(TARNSTUB_OK, FinishesWithin("Finalize", [] { return Finalize(); }));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Called", L"Monitor thread termination event raised", L"Monitor thread joined",
                  L"UnRegisterProvider BladeType: 12, BladeGuid: " + std::wstring(kBladeGuid) + L", hr: " + kServerGone,
                  L"UnRegistering BladeType: 12, BladeCookie: " + cookie + L", hr: " + kServerGone,
                  L"TARN Instance released", L"Called", L"Already stopped, call abandoned"}),
              TextsOf(LogLines(), kStop))
        << LogDump();

    ASSERT_EQ(TARNSTUB_OK, FinishesWithin("Initialize", [] { return Initialize(12); }));
    EXPECT_EQ(2, g_connects.calls.load());
    const ULONG second = TarnRef_ServerProcessId();
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(1u, TarnRef_RegistrationCount()) << Dumps();
    EXPECT_EQ(TARNSTUB_OK, FinishesWithin("Finalize", [] { return Finalize(); }));
    EXPECT_EQ(0u, TarnRef_RegistrationCount()) << Dumps();
}

}  // namespace
