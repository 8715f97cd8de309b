// The remote-access peer on a connection: it tries the PACs of the activation
// list in order until one's policy has content. On the first connection the
// blade has no settings-update callback yet; on a reconnection it has, and
// hears the engine. The monitor period is shortened, so this program holds
// the stub's code itself, as does the array reader's unit test at the end.
#include <gtest/gtest.h>

#include "PolicyTestSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "records/SafeArrays.h"

namespace {

using policy_test::RecordedSettings;
using policy_test::SetContent;

class RemoteAccessConnectionE2E : public policy_test::FinalizingServerTest {
protected:
    void SetUp() override {
        FinalizingServerTest::SetUp();
        adaptor_testing::SetMonitorPeriod(100);
    }
    // The activation and policy requests the server received.
    static std::vector<std::wstring> Requests() {
        std::vector<std::wstring> requests;
        for (const std::wstring& line : Calls())
            if (line.rfind(L"GetActivations", 0) == 0 || line.rfind(L"GetPolicyContent", 0) == 0)
                requests.push_back(line);
        return requests;
    }
};

TEST_F(RemoteAccessConnectionE2E, TheFirstPacWithContentDecidesAndNoLaterOneIsAsked) {
    // PAC 4 has no content; PAC 2 does; PAC 9 would name the other engine.
    const LONG pacs[] = {4, 2, 9};
    TarnRef_SetActivations(pacs, 3);
    SetContent(60, 4, std::string());
    SetContent(60, 2, "<vpn client_verification_engine=\"QLCompliance\"/>");
    SetContent(60, 9, "<vpn client_verification_engine=\"VPN_KVX\"/>");
    const std::vector<std::wstring> expected = {L"GetActivations()", L"GetPolicyContent(policyType=60, pac=4)",
                                                L"GetPolicyContent(policyType=60, pac=2)"};
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
    EXPECT_EQ(expected, Requests()) << CallDump();
    // The first connection happened inside initialisation: the blade heard nothing.
    ASSERT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&policy_test::RecordSetting));
    EXPECT_TRUE(RecordedSettings().empty());
    TarnRef_ClearCallRecord();

    // The server restarts: the monitor finds the old object dead and connects anew.
    TarnRef_Restart();
    ASSERT_TRUE(tarn_test::WaitUntil([] { return !RecordedSettings().empty(); })) << LogDump() << CallDump();
    EXPECT_EQ((policy_test::SettingCalls{{1, 1}}), RecordedSettings());
    EXPECT_EQ(expected, Requests()) << CallDump();
    EXPECT_EQ(2u, TarnRef_LastCookie());
}

// The reader of policy content arrays never reads past the last element.
TEST(PolicySafeArrays, ContentWithoutAZeroByteEndsAtTheLastElement) {
    // A three-element array over storage that goes on with "def": only the
    // three elements may be read.
    static char storage[] = "abcdef";
    SAFEARRAY* raw = nullptr;
    ASSERT_EQ(S_OK, SafeArrayAllocDescriptorEx(VT_UI1, 1, &raw));
    win::UniqueSafeArray array(raw);
    raw->rgsabound[0].cElements = 3;
    raw->rgsabound[0].lLbound = 0;
    raw->pvData = storage;
    raw->fFeatures |= FADF_STATIC;  // the storage is not the array's to free
    EXPECT_EQ(std::optional<std::wstring>(L"abc"), safe_arrays::Utf8Text(array.get()));
}

}  // namespace
