// QueryCompliance: the server answers in the bits of the call's own result.
#include <gtest/gtest.h>

#include "LogFile.h"
#include "PolicyTestSupport.h"

namespace {

using policy_test::InitializedBladeTest;
using tarn_test::LevelsOf;

constexpr wchar_t kName[] = L"TarnAdaptor::QueryCompliance";

class ComplianceE2E : public InitializedBladeTest {};

struct Answer {
    HRESULT result;
    DWORD compliant;
    DWORD changed;
    const wchar_t* line;
};

void PrintTo(const Answer& answer, std::ostream* out) { *out << "CheckCompliance result " << answer.result; }

class ComplianceAnswerE2E : public ComplianceE2E, public ::testing::WithParamInterface<Answer> {};

TEST_P(ComplianceAnswerE2E, BitZeroIsCompliantAndBitOneIsChanged) {
    const Answer answer = GetParam();
    TarnRef_SetResult(L"CheckCompliance", answer.result);
    DWORD compliant = 7, changed = 7;
    ASSERT_EQ(TARNSTUB_OK, QueryCompliance(&compliant, &changed)) << LogDump();
    EXPECT_EQ(answer.compliant, compliant);
    EXPECT_EQ(answer.changed, changed);
    EXPECT_EQ(std::vector<wchar_t>{L'I'}, LevelsOf(LogLines(), kName, answer.line)) << LogDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"CheckCompliance"));
}

INSTANTIATE_TEST_SUITE_P(
    Results, ComplianceAnswerE2E,
    ::testing::Values(Answer{0, 0, 0, L" returned: hr: 0x00000000, compliance_changed: 0, compliant: 0"},
                      Answer{2, 0, 1, L" returned: hr: 0x00000002, compliance_changed: 1, compliant: 0"},
                      Answer{3, 1, 1, L" returned: hr: 0x00000003, compliance_changed: 1, compliant: 1"},
                      Answer{5, 1, 0, L" returned: hr: 0x00000005, compliance_changed: 0, compliant: 1"},
                      // Bits above the two are ignored.
                      Answer{0x7FFFFFFE, 0, 1,
                             L" returned: hr: 0x7ffffffe, compliance_changed: 1, compliant: 0"}),
    [](const ::testing::TestParamInfo<Answer>& info) { return "Result" + std::to_string(info.param.result); });

TEST_F(ComplianceE2E, ANegativeResultLeavesTheOutValuesUntouched) {
    // Both low bits set: a negative result must not be read as an answer.
    TarnRef_SetResult(L"CheckCompliance", static_cast<HRESULT>(0x80000003));
    DWORD compliant = 7, changed = 9;
    EXPECT_EQ(TARNSTUB_COMPLIANCE_FAILED, QueryCompliance(&compliant, &changed));
    EXPECT_EQ(7u, compliant);
    EXPECT_EQ(9u, changed);
    const auto lines = LogLines();
    EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, kName, L"CheckCompliance call failed, hr: 0x80000003"))
        << LogDump();
    EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, L"TarnNotificationPeer::OnAdaptorError",
                                                   L"hr: 0x80580005 message: QueryCompliance call failed"))
        << LogDump();
}

TEST_F(ComplianceE2E, AnInjectedFailureGivesCode13) {
    TarnRef_FailOperation(L"CheckCompliance", RPC_E_DISCONNECTED);
    DWORD compliant = 7, changed = 7;
    EXPECT_EQ(TARNSTUB_COMPLIANCE_FAILED, QueryCompliance(&compliant, &changed));
    EXPECT_EQ(7u, compliant);
    EXPECT_EQ(7u, changed);
    EXPECT_EQ(1u, LevelsOf(LogLines(), kName, L"CheckCompliance call failed, hr: 0x80010108").size())
        << LogDump();
}

TEST_F(ComplianceE2E, ANullPointerIsRefusedWithoutAServerCall) {
    DWORD compliant = 7;
    EXPECT_EQ(TARNSTUB_NULL_POINTER, QueryCompliance(&compliant, nullptr));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, QueryCompliance(nullptr, &compliant));
    EXPECT_EQ(7u, compliant);
    EXPECT_EQ(0u, TarnRef_CountCalls(L"CheckCompliance"));
}

}  // namespace
