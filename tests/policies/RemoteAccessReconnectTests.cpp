// The remote-access peer on a reconnection: by then the blade has registered
// its settings-update callback, so the engine of the first PAC whose policy
// has content reaches it. The monitor period is shortened, so this program
// holds the stub's code itself.
#include <gtest/gtest.h>

#include "PolicyTestSupport.h"
#include "WaitUntil.h"
#include "adaptor/AdaptorTesting.h"

namespace {

using policy_test::SetContent;
using policy_test::SettingsRecorder;
using tarn_test::ServerTest;

class RemoteAccessReconnectE2E : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        adaptor_testing::SetMonitorPeriod(100);
    }
    void TearDown() override { EXPECT_EQ(TARNSTUB_OK, Finalize()); }
};

TEST_F(RemoteAccessReconnectE2E, OnReconnectionTheFirstPacWithContentDecidesAndNoLaterOneIsAsked) {
    const LONG pacs[] = {4, 2, 9};
    TarnRef_SetActivations(pacs, 3);
    SetContent(60, 4, std::string());
    SetContent(60, 2, "<vpn client_verification_engine=\"QLCompliance\"/>");
    SetContent(60, 9, "<vpn client_verification_engine=\"VPN_KVX\"/>");
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
    ASSERT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&SettingsRecorder::Callback));
    TarnRef_ClearCallRecord();

    // The server restarts: the monitor finds the old object dead and connects anew.
    TarnRef_Restart();
    ASSERT_TRUE(SettingsRecorder::Instance().WaitFor(1)) << LogDump() << CallDump();
    EXPECT_EQ((std::vector<std::pair<LONG, LONG>>{{1, 1}}), SettingsRecorder::Instance().Calls());
    std::vector<std::wstring> requests;
    for (const std::wstring& line : Calls())
        if (line.rfind(L"GetActivations", 0) == 0 || line.rfind(L"GetPolicyContent", 0) == 0) requests.push_back(line);
    EXPECT_EQ((std::vector<std::wstring>{L"GetActivations()", L"GetPolicyContent(policyType=60, pac=4)",
                                         L"GetPolicyContent(policyType=60, pac=2)"}),
              requests)
        << CallDump();
    EXPECT_EQ(2u, TarnRef_LastCookie());
}

TEST_F(RemoteAccessReconnectE2E, OnReconnectionWithoutAnyContentTheBladeHearsNothing) {
    const LONG pacs[] = {4, 5};
    TarnRef_SetActivations(pacs, 2);
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub()) << LogDump();
    ASSERT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&SettingsRecorder::Callback));
    TarnRef_ClearCallRecord();
    TarnRef_Restart();
    // The reconnection has ended once its provider info step was logged.
    ASSERT_TRUE(TarnRef_WaitForCalls(L"GetPolicyContent", 2, tarn_test::kWaitMs)) << CallDump();
    ASSERT_TRUE(tarn_test::WaitUntil([&] {
        return CountLogLines(L"TarnAdaptor::ConnectToTARN: Exiting, finished succefully") >= 2;
    })) << LogDump();
    EXPECT_TRUE(SettingsRecorder::Instance().Calls().empty());
    // Each PAC's empty content was reported, on the first connection and again now.
    EXPECT_EQ(4u, CountLogLines(L"TarnAdaptor::QueryPolicyContent: Problem with the policy content(empty)"))
        << LogDump();
}

}  // namespace
