// The request exports' checks, in their order, and the answer of a stub that
// has no server connection.
#include <gtest/gtest.h>

#include "StubFixture.h"
#include "tarnstub.h"

namespace {

using tarn_test::StubTest;

// These cases run without a Tarn server.
class RequestExportTest : public StubTest {
protected:
    void SetUp() override {
        StubTest::SetUp();
        tarn_test::RemoveServerRegistration();
    }
};

TEST_F(RequestExportTest, BeforeInitializationNullPointersComeFirstWhereTheyAreCheckedFirst) {
    BSTR text = nullptr;
    DWORD flag = 0;
    LONG pacs[3] = {};
    LONG count = 3;
    // Pointer checks before the adaptor check.
    EXPECT_EQ(TARNSTUB_NULL_POINTER, GetPolicy(60, 1, nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, GetCommonClientPolicy(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, QueryCompliance(&flag, nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, GetActivationStatus(nullptr, &count));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, GetCaCertFingerPrint(&text, nullptr));
    // The adaptor check before the pointer checks.
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, DownloadFile(L"u", nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, SendBladePayload(nullptr, nullptr, nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, CollectProviderInfo(nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, SetOperationStatus(nullptr));
    // No pointer checks at all.
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, CollectLog(nullptr, 0));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, CollectPayload(nullptr, nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, ReportIncident(nullptr, 0, nullptr, nullptr, nullptr, 0, 0, 0, nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, GetActivationStatus(pacs, &count));
    EXPECT_EQ(nullptr, text);
}

TEST_F(RequestExportTest, AfterInitializationThePointerChecksStillHold) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    BSTR text = nullptr;
    LONG pacs[3] = {};
    LONG small = 2;
    EXPECT_EQ(TARNSTUB_NULL_POINTER, DownloadFile(L"u", nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(L"t", L"d", nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, CollectProviderInfo(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SetOperationStatus(nullptr));
    EXPECT_EQ(TARNSTUB_BUFFER_TOO_SMALL, GetActivationStatus(pacs, &small));
    EXPECT_EQ(3, small);  // the room to offer
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(nullptr, text);
}

TEST_F(RequestExportTest, WithoutAConnectionEachRequestGivesItsFailureCode) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const size_t calledBefore = CountLogLines(L": Called");
    BSTR text = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1));
    BSTR second = text;
    DWORD compliant = 7, changed = 7;
    LONG pacs[4] = {9, 9, 9, 9};
    LONG count = 4;
    const BYTE record[] = {1, 2, 3};
    OperationStatusData status = {};
    status.opGuid.Data1 = 1;
    ProviderInfoData provider = {};
    provider.name = L"p";
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 1, &text));
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetCommonClientPolicy(&text));
    EXPECT_EQ(TARNSTUB_COMPLIANCE_FAILED, QueryCompliance(&compliant, &changed));
    EXPECT_EQ(TARNSTUB_ACTIVATION_FAILED, GetActivationStatus(pacs, &count));
    EXPECT_EQ(TARNSTUB_OPERATION_STATUS_FAILED, SetOperationStatus(&status));
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"i", 1, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, sizeof(record)));
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&provider));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"t", L"d"));
    EXPECT_EQ(TARNSTUB_DOWNLOAD_FAILED, DownloadFile(L"http://x", &text));
    EXPECT_EQ(TARNSTUB_CA_FINGERPRINT_FAILED, GetCaCertFingerPrint(&text, &second));
    // Outputs are written only on success.
    EXPECT_EQ(reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x1)), text);
    EXPECT_EQ(7u, compliant);
    EXPECT_EQ(4, count);
    EXPECT_EQ(9, pacs[0]);
    // The failed blade payload still hands over a (empty) response text.
    BSTR response = nullptr;
    EXPECT_EQ(TARNSTUB_BLADE_PAYLOAD_FAILED, SendBladePayload(L"t", L"d", &response));
    ASSERT_NE(nullptr, response);
    EXPECT_EQ(0u, SysStringLen(response));
    SysFreeString(response);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_TRUE(LogHas(L"TarnAdaptor::QueryPolicyContent: Called")) << LogDump();
    EXPECT_TRUE(LogHas(L"TarnAdaptor::GetCaCertFingerPrint: Called")) << LogDump();
    EXPECT_GE(CountLogLines(L": Called") - calledBefore, 12u) << LogDump();
}

}  // namespace
