// The remote-access blade's peer: on a new policy and on a new activation
// list it fetches the remote-access policy and tells the blade which
// compliance engine the policy names.
#include <gtest/gtest.h>

#include "PolicyTestSupport.h"

namespace {

using policy_test::RecordedSettings;
using policy_test::SetContent;
using policy_test::SettingCalls;

const GUID kPolicyId = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};
const std::string kQl = "<vpn client_verification_engine=\"QLCompliance\"/>";
const std::string kKvx = "<vpn client_verification_engine=\"VPN_KVX\"/>";

class RemoteAccessE2E : public policy_test::FinalizingServerTest {
protected:
    void StartBlade(bool withCallback) {
        ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
        ASSERT_EQ(TARNSTUB_OK, withCallback ? RegisterSettingsUpdateCallback(&policy_test::RecordSetting) : 0);
        TarnRef_ClearCallRecord();
    }
    // Waits until count deliveries of the named delivery thread have ended.
    bool WaitForDeliveries(const wchar_t* thread, size_t count) {
        const std::wstring line = std::wstring(L"TARNClientBridge::") + thread + L": exit from thread function";
        return tarn_test::WaitUntil([&] { return CountLogLines(line) >= count; });
    }
    // Delivers a new policy of type 60, PAC 1 and id kPolicyId (whose content
    // is content) or of type 77, PAC 3 and no id; returns once its delivery
    // thread has ended.
    void DeliverPolicy(bool withId, const std::string& content = kQl) {
        TarnRef_SetPolicyContentById(&kPolicyId, content.data(), static_cast<ULONG>(content.size()));
        const std::wstring description =
            std::wstring(L"<policy type=\"") + (withId ? L"60\" pac=\"1" : L"77\" pac=\"3") + L"\" id=\"" +
            tarn_test::GuidText(withId ? kPolicyId : GUID_NULL) + L"\" modDate=\"1700000000000\"/>";
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallPolicyArrival(0, description.c_str()), tarn_test::kWaitMs, &hr));
        ASSERT_EQ(S_OK, hr);
        ASSERT_TRUE(WaitForDeliveries(L"PolicyArrivalThread", ++deliveries_)) << LogDump();
    }
    size_t deliveries_ = 0;
};

TEST_F(RemoteAccessE2E, NewPolicyWithAnIdIsFetchedByIdWithoutOneByTypeAndPac) {
    StartBlade(true);
    SetContent(77, 3, kKvx);
    DeliverPolicy(true, kQl);
    DeliverPolicy(false);
    EXPECT_EQ((SettingCalls{{1, 1}, {1, 2}}), RecordedSettings());
    EXPECT_EQ((std::vector<std::wstring>{L"GetPolicyContentById(policyId=" + tarn_test::GuidText(kPolicyId) + L")",
                                         L"GetPolicyContent(policyType=77, pac=3)"}),
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, NewPolicyWithoutACallbackMakesNoServerRequest) {
    StartBlade(false);
    DeliverPolicy(true);
    EXPECT_EQ(std::vector<std::wstring>{}, CallsStartingWith(L"GetPolicyContent")) << CallDump();
}

TEST_F(RemoteAccessE2E, NewActivationListUsesTheFirstPacWithContentOnly) {
    StartBlade(true);
    SetContent(60, 5, std::string());
    SetContent(60, 6, kKvx);
    SetContent(60, 8, kQl);
    const LONG pacs[] = {5, 6, 8};
    ASSERT_TRUE(TarnRef_WaitCall(TarnRef_CallActivatePolicies(0, pacs, 3), tarn_test::kWaitMs, nullptr));
    ASSERT_TRUE(WaitForDeliveries(L"ActivatePoliciesThread", 1)) << LogDump();
    EXPECT_EQ((SettingCalls{{1, 2}}), RecordedSettings());
    EXPECT_EQ((std::vector<std::wstring>{L"GetPolicyContent(policyType=60, pac=5)",
                                         L"GetPolicyContent(policyType=60, pac=6)"}),
              CallsStartingWith(L"GetPolicyContent"))
        << CallDump();
}

TEST_F(RemoteAccessE2E, TheEngineValueDecidesTheCallback) {
    const struct {
        const char* content;
        SettingCalls expected;
    } cases[] = {
        {"<vpn client_verification_engine=\"QLCompliance\"/>", {{1, 1}}},
        {"<vpn client_verification_engine=\"VPN_KVX\"/>", {{1, 2}}},
        {"<vpn a=\"b\" client_verification_engine = \"VPN_KVX\" />", {{1, 2}}},
        {"<vpn client_verification_engine=\"\"VPN_KVX\"\"/><x/>", {{1, 2}}},
        // No "/>" right after the value: the value is empty.
        {"<vpn client_verification_engine=\"VPN_KVX\">", {}},
        {"<vpn client_verification_engine=\"VPN_KVX\" mode=\"x\"/>", {}},
        // Values and names differing only in letter case.
        {"<vpn client_verification_engine=\"vpn_kvx\"/>", {}},
        {"<vpn client_verification_engine=\"QLcompliance\"/>", {}},
        {"<vpn Client_Verification_Engine=\"VPN_KVX\"/>", {}},
    };
    StartBlade(true);
    for (const auto& engineCase : cases) {
        const size_t before = RecordedSettings().size();
        DeliverPolicy(true, engineCase.content);
        const SettingCalls calls = RecordedSettings();
        EXPECT_EQ(engineCase.expected, SettingCalls(calls.begin() + before, calls.end())) << engineCase.content;
    }
    EXPECT_EQ(std::size(cases), CallsStartingWith(L"GetPolicyContentById(").size()) << CallDump();
}

}  // namespace
