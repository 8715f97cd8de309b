// The remote-access blade's peer: on its first connection, on a new policy
// and on a new activation list it fetches the remote-access policy and tells
// the blade which compliance engine the policy names.
#include <gtest/gtest.h>

#include "PolicyTestSupport.h"
#include "WaitUntil.h"

namespace {

using policy_test::SetContent;
using policy_test::SettingsRecorder;
using tarn_test::ServerTest;
using tarn_test::WaitUntil;

using SettingCalls = std::vector<std::pair<LONG, LONG>>;

const GUID kPolicyId = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
const std::string kQl = "<vpn client_verification_engine=\"QLCompliance\"/>";
const std::string kKvx = "<vpn client_verification_engine=\"VPN_KVX\"/>";

std::wstring Description(const wchar_t* type, const wchar_t* pac, const std::wstring& id) {
    return std::wstring(L"<policy type=\"") + type + L"\" pac=\"" + pac + L"\" id=\"" + id +
           L"\" modDate=\"1700000000000\"/>";
}

class RemoteAccessE2E : public ServerTest {
protected:
    void TearDown() override { EXPECT_EQ(TARNSTUB_OK, Finalize()); }

    void StartBlade(bool withCallback) {
        ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
        if (withCallback) {
            ASSERT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&SettingsRecorder::Callback));
        }
        TarnRef_ClearCallRecord();
    }

    // Waits until count deliveries of the named delivery thread have ended.
    bool WaitForDeliveries(const wchar_t* thread, size_t count) {
        const std::wstring line = std::wstring(L"TARNClientBridge::") + thread + L": exit from thread function";
        return WaitUntil([&] { return CountLogLines(line) >= count; });
    }

    // Delivers a new policy whose content (by id) is content; returns once
    // its delivery thread has ended.
    void DeliverPolicyWithContent(const std::string& content) {
        TarnRef_SetPolicyContentById(&kPolicyId, content.data(), static_cast<ULONG>(content.size()));
        const ULONG call = TarnRef_CallPolicyArrival(0, Description(L"60", L"1", tarn_test::GuidText(kPolicyId)).c_str());
        ASSERT_NE(0u, call);
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(TarnRef_WaitCall(call, tarn_test::kWaitMs, &hr));
        ASSERT_EQ(S_OK, hr);
        ASSERT_TRUE(WaitForDeliveries(L"PolicyArrivalThread", 1)) << LogDump();
    }

    static size_t PolicyRequests() {
        return CallsStartingWith(L"GetPolicyContent(").size() + CallsStartingWith(L"GetPolicyContentById(").size();
    }
};

TEST_F(RemoteAccessE2E, FirstConnectionTriesEachPacUntilOneHasContent) {
    // PAC 4 has no content; PAC 2 does; PAC 9 would name the other engine.
    const LONG pacs[] = {4, 2, 9};
    TarnRef_SetActivations(pacs, 3);
    SetContent(60, 4, std::string());
    SetContent(60, 2, kQl);
    SetContent(60, 9, kKvx);
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
    // The connection happens inside initialisation, before any callback can
    // be registered: the server sees the requests, the blade hears nothing.
    const auto calls = Calls();
    const std::vector<std::wstring> expected = {L"GetActivations()", L"GetPolicyContent(policyType=60, pac=4)",
                                                L"GetPolicyContent(policyType=60, pac=2)"};
    std::vector<std::wstring> requests;
    for (const std::wstring& line : calls)
        if (line.rfind(L"GetActivations", 0) == 0 || line.rfind(L"GetPolicyContent", 0) == 0) requests.push_back(line);
    EXPECT_EQ(expected, requests) << CallDump();
    ASSERT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&SettingsRecorder::Callback));
    EXPECT_TRUE(SettingsRecorder::Instance().Calls().empty());
}

TEST_F(RemoteAccessE2E, NewPolicyWithAnIdIsFetchedById) {
    StartBlade(true);
    DeliverPolicyWithContent(kQl);
    ASSERT_TRUE(SettingsRecorder::Instance().WaitFor(1));
    EXPECT_EQ((SettingCalls{{1, 1}}), SettingsRecorder::Instance().Calls());
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContentById(policyId=" + tarn_test::GuidText(kPolicyId) + L")"},
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, NewPolicyWithoutAnIdIsFetchedByTypeAndPacWhateverItsType) {
    StartBlade(true);
    SetContent(77, 3, kKvx);
    const ULONG call =
        TarnRef_CallPolicyArrival(0, Description(L"77", L"3", L"00000000-0000-0000-0000-000000000000").c_str());
    ASSERT_TRUE(TarnRef_WaitCall(call, tarn_test::kWaitMs, nullptr));
    ASSERT_TRUE(SettingsRecorder::Instance().WaitFor(1)) << LogDump();
    EXPECT_EQ((SettingCalls{{1, 2}}), SettingsRecorder::Instance().Calls());
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=77, pac=3)"},
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, NewPolicyWithoutACallbackMakesNoServerRequest) {
    StartBlade(false);
    DeliverPolicyWithContent(kQl);
    EXPECT_EQ(0u, PolicyRequests()) << CallDump();
}

TEST_F(RemoteAccessE2E, NewActivationListUsesTheFirstPacWithContentOnly) {
    StartBlade(true);
    SetContent(60, 5, std::string());
    SetContent(60, 6, kKvx);
    SetContent(60, 8, kQl);
    const LONG pacs[] = {5, 6, 8};
    const ULONG call = TarnRef_CallActivatePolicies(0, pacs, 3);
    ASSERT_TRUE(TarnRef_WaitCall(call, tarn_test::kWaitMs, nullptr));
    ASSERT_TRUE(WaitForDeliveries(L"ActivatePoliciesThread", 1)) << LogDump();
    EXPECT_EQ((SettingCalls{{1, 2}}), SettingsRecorder::Instance().Calls());
    EXPECT_EQ((std::vector<std::wstring>{L"GetPolicyContent(policyType=60, pac=5)",
                                         L"GetPolicyContent(policyType=60, pac=6)"}),
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, NewActivationListIsQueriedEvenWithoutACallback) {
    StartBlade(false);
    SetContent(60, 6, kKvx);
    const LONG pacs[] = {6};
    const ULONG call = TarnRef_CallActivatePolicies(0, pacs, 1);
    ASSERT_TRUE(TarnRef_WaitCall(call, tarn_test::kWaitMs, nullptr));
    ASSERT_TRUE(WaitForDeliveries(L"ActivatePoliciesThread", 1)) << LogDump();
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=60, pac=6)"},
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, NoPeerCallbackOfTheDefaultKindIsEverCalled) {
    // The remote-access blade has its own peer: a connect callback registered
    // before initialisation is not called for it.
    static LONG connects = 0;
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback([] { InterlockedIncrement(&connects); }));
    StartBlade(true);
    EXPECT_EQ(0, connects);
}

// Engine values and what the blade hears.
struct EngineCase {
    const char* name;
    const char* content;
    SettingCalls expected;
};

void PrintTo(const EngineCase& engineCase, std::ostream* out) { *out << engineCase.content; }

class RemoteAccessEngineE2E : public RemoteAccessE2E, public ::testing::WithParamInterface<EngineCase> {};

TEST_P(RemoteAccessEngineE2E, TheEngineValueDecidesTheCallback) {
    StartBlade(true);
    DeliverPolicyWithContent(GetParam().content);
    EXPECT_EQ(1u, PolicyRequests()) << CallDump();
    EXPECT_EQ(GetParam().expected, SettingsRecorder::Instance().Calls()) << GetParam().content;
}

INSTANTIATE_TEST_SUITE_P(
    Values, RemoteAccessEngineE2E,
    ::testing::Values(
        EngineCase{"QLCompliance", "<vpn client_verification_engine=\"QLCompliance\"/>", {{1, 1}}},
        EngineCase{"BlanksAndQuotesAround", "<vpn a=\"b\" client_verification_engine = \"VPN_KVX\" />", {{1, 2}}},
        EngineCase{"DoubledQuotes", "<vpn client_verification_engine=\"\"VPN_KVX\"\"/><x/>", {{1, 2}}},
        // UTF-8 around the attribute does not disturb it.
        EngineCase{"Utf8Neighbour", "<vpn name=\"Gr\xC3\xBC\xC3\x9F" "e\" client_verification_engine=\"QLCompliance\"/>", {{1, 1}}},
        // No "/>" after the value: the value is empty.
        EngineCase{"NoEndAfterTheValue", "<vpn client_verification_engine=\"VPN_KVX\">", {}},
        EngineCase{"NoEndAtAll", "<vpn client_verification_engine=\"VPN_KVX\"", {}},
        // Values and names differing only in letter case.
        EngineCase{"ValueInLowerCase", "<vpn client_verification_engine=\"vpn_kvx\"/>", {}},
        EngineCase{"ValueInMixedCase", "<vpn client_verification_engine=\"QLcompliance\"/>", {}},
        EngineCase{"AttributeNameInOtherCase", "<vpn Client_Verification_Engine=\"VPN_KVX\"/>", {}},
        // Another attribute between the value and the end spoils the value.
        EngineCase{"AnotherAttributeBeforeTheEnd", "<vpn client_verification_engine=\"VPN_KVX\" mode=\"x\"/>", {}},
        EngineCase{"NoSuchAttribute", "<vpn other=\"VPN_KVX\"/>", {}}),
    [](const ::testing::TestParamInfo<EngineCase>& info) { return std::string(info.param.name); });

}  // namespace
