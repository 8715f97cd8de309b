// The blade's requests to the server, through TarnStub.dll against the
// reference server: policy content through GetPolicy (UTF-8 bytes arrive as
// the right UTF-16 text, cut at a zero byte; failures give code 14) and
// GetCommonClientPolicy, the
// compliance query and the operation status report.
#include <gtest/gtest.h>

#include <algorithm>

#include "PolicyTestSupport.h"
#include "win/raii.h"

namespace {

using policy_test::SetContent;
using tarn_test::LevelsOf;

constexpr wchar_t kContent[] = L"TarnAdaptor::QueryPolicyContent";
constexpr wchar_t kCompliance[] = L"TarnAdaptor::QueryCompliance";

using PolicyContentE2E = policy_test::InitializedBladeTest;
using ComplianceE2E = policy_test::InitializedBladeTest;
using OperationStatusE2E = policy_test::InitializedBladeTest;

TEST_F(PolicyContentE2E, TheBytesArriveAsUtf16TextUpToTheFirstZeroByte) {
    std::string large;
    for (int i = 0; i < 5000; ++i) large += static_cast<char>('a' + i % 26);
    const std::pair<std::string, std::wstring> cases[] = {
        {"abc", L"abc"},
        // Two-, three- and four-byte sequences, the last a surrogate pair.
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9D\x84\x9E",
         L"Gr\u00FC\u00DFe \u20AC \xD834\xDD1E"},
        {std::string("ab\0cd\0e", 7), L"ab"},
        // Content that starts with a zero byte is content: an empty success.
        {std::string("\0abc", 4), L""},
        // Without a zero byte the whole array is converted.
        {large, std::wstring(large.begin(), large.end())},
    };
    for (const auto& [bytes, expected] : cases) {
        SetContent(60, 2, bytes);
        TarnRef_ClearCallRecord();
        win::UniqueBstr content;
        ASSERT_EQ(TARNSTUB_OK, GetPolicy(60, 2, content.put())) << LogDump();
        ASSERT_NE(nullptr, content.get());
        EXPECT_EQ(expected, std::wstring(content.get(), content.length()));
        EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=60, pac=2)"}, Calls()) << CallDump();
    }
    EXPECT_TRUE(LevelsOf(LogLines(), kContent, L"Problem with the policy content(empty)").empty()) << LogDump();
}

TEST_F(PolicyContentE2E, EmptyContentIsAFailureReportedToThePeer) {
    SetContent(60, 2, std::string());
    BSTR content = reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x5));
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(reinterpret_cast<BSTR>(static_cast<uintptr_t>(0x5)), content);
    ExpectError(kContent, L"Problem with the policy content(empty)", L"0x80580007",
                L"Problem with the policy content(empty)");
}

TEST_F(PolicyContentE2E, AFailedServerCallNamesTheMethodAndShowsTheRequestedPolicy) {
    SetContent(60, 2, "abc");
    TarnRef_FailOperation(L"GetPolicyContent", E_FAIL);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(nullptr, content);
    ExpectError(kContent, L"GetPolicyContent call failed, hr: 0x80004005", L"0x80580005",
                L"GetPolicyContent call failed");
    // The record the request built: every field set, no id, modDate 0, no key.
    const std::wstring head = L"PolicyInfo: Pol type: 60 pac: 2 id: 00000000-0000-0000-0000-000000000000 modDate: 0 (";
    const auto entries = tarn_test::EntriesOf(LogLines(), kContent);
    const auto record = std::find_if(entries.begin(), entries.end(),
                                     [&](const tarn_test::LogEntry& entry) { return entry.text.rfind(head, 0) == 0; });
    ASSERT_NE(entries.end(), record) << LogDump();
    EXPECT_EQ(L'V', record->level);
    EXPECT_EQ(L") key: none", record->text.substr(record->text.size() - 11)) << LogDump();
}

// The common client policy is type 51 with PAC 1, fetched like any other.
TEST_F(PolicyContentE2E, TheCommonClientPolicyIsTypeFiftyOneWithPacOne) {
    SetContent(51, 1, "common \xE2\x82\xAC");
    win::UniqueBstr content;
    ASSERT_EQ(TARNSTUB_OK, GetCommonClientPolicy(content.put())) << LogDump();
    ASSERT_NE(nullptr, content.get());
    EXPECT_EQ(L"common \u20AC", std::wstring(content.get(), content.length()));
    EXPECT_EQ(std::vector<std::wstring>{L"GetPolicyContent(policyType=51, pac=1)"}, Calls()) << CallDump();
}

// QueryCompliance: the server answers in the bits of the call's own result.
TEST_F(ComplianceE2E, BitZeroIsCompliantAndBitOneIsChangedANegativeResultIsAFailure) {
    const struct {
        HRESULT result;
        DWORD code, compliant, changed;
        const wchar_t* line;
    } answers[] = {
        {0, TARNSTUB_OK, 0, 0, L" returned: hr: 0x00000000, compliance_changed: 0, compliant: 0"},
        {2, TARNSTUB_OK, 0, 1, L" returned: hr: 0x00000002, compliance_changed: 1, compliant: 0"},
        {3, TARNSTUB_OK, 1, 1, L" returned: hr: 0x00000003, compliance_changed: 1, compliant: 1"},
        {5, TARNSTUB_OK, 1, 0, L" returned: hr: 0x00000005, compliance_changed: 0, compliant: 1"},
        // Bits above the two are ignored.
        {0x7FFFFFFE, TARNSTUB_OK, 0, 1, L" returned: hr: 0x7ffffffe, compliance_changed: 1, compliant: 0"},
        // Both low bits set: a negative result must not be read as an answer.
        {static_cast<HRESULT>(0x80000003), TARNSTUB_COMPLIANCE_FAILED, 7, 9,
         L" returned: hr: 0x80000003, compliance_changed: 1, compliant: 1"},
    };
    for (const auto& answer : answers) {
        TarnRef_SetResult(L"CheckCompliance", answer.result);
        DWORD compliant = 7, changed = 9;
        EXPECT_EQ(answer.code, QueryCompliance(&compliant, &changed)) << LogDump();
        EXPECT_EQ(answer.compliant, compliant) << answer.result;
        EXPECT_EQ(answer.changed, changed) << answer.result;
        // A failure's result is never logged as an answer.
        EXPECT_EQ(std::vector<wchar_t>(answer.code == TARNSTUB_OK ? 1 : 0, L'I'),
                  LevelsOf(LogLines(), kCompliance, answer.line))
            << LogDump();
    }
    EXPECT_EQ(std::size(answers), TarnRef_CountCalls(L"CheckCompliance"));
    ExpectError(kCompliance, L"CheckCompliance call failed, hr: 0x80000003", L"0x80580005",
                L"QueryCompliance call failed");
}

// SetOperationStatus: the caller's record reaches the server unchanged; a
// report without an operation GUID never does.
TEST_F(OperationStatusE2E, EveryFieldReachesTheServerUnchangedAndNullTextsAsEmptyBstrs) {
    // Hex digits above 9, to see the lower-case text form.
    const GUID operation = {0xABCDEF01, 0x2345, 0x6789, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}};
    const OperationStatusData full{operation, 4000000000u, L"done", L"Gr\u00FC\u00DFe", 0xFFFFFFFFu};
    const OperationStatusData noTexts{operation, 1, nullptr, nullptr, 0};
    ASSERT_EQ(TARNSTUB_OK, SetOperationStatus(&full)) << LogDump();
    ASSERT_EQ(TARNSTUB_OK, SetOperationStatus(&noTexts)) << LogDump();
    const std::wstring head = L"SetOperationStatus(opGuid=abcdef01-2345-6789-abcd-ef0123456789, ";
    EXPECT_EQ((std::vector<std::wstring>{
                  head + L"status=4000000000, text1=\"done\", text2=\"Gr\u00FC\u00DFe\", value=4294967295)",
                  head + L"status=1, text1=\"\", text2=\"\", value=0)"}),
              Calls())
        << CallDump();
}

TEST_F(OperationStatusE2E, AnAllZeroGuidIsRefusedWithoutAServerCall) {
    const OperationStatusData data{GUID_NULL, 2, L"a", L"b", 3};
    EXPECT_EQ(TARNSTUB_OPERATION_STATUS_FAILED, SetOperationStatus(&data));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetOperationStatus")) << CallDump();
    const std::wstring text = L"Invalid GUID sent: 00000000-0000-0000-0000-000000000000";
    ExpectError(L"TarnAdaptor::SetOperationStatus", text, L"0x8058000c", text);
}

}  // namespace
