// SetOperationStatus: the caller's record reaches the server unchanged; a
// report without an operation GUID never does.
#include <gtest/gtest.h>

#include "LogFile.h"
#include "PolicyTestSupport.h"

namespace {

using policy_test::InitializedBladeTest;
using tarn_test::LevelsOf;

constexpr wchar_t kName[] = L"TarnAdaptor::SetOperationStatus";
// Upper-case-worthy hex digits, to see the lower-case text form.
const GUID kOperation = {0xABCDEF01, 0x2345, 0x6789, {0xAB, 0xCD, 0xEF, 0x01, 0x23, 0x45, 0x67, 0x89}};
constexpr wchar_t kOperationText[] = L"abcdef01-2345-6789-abcd-ef0123456789";

class OperationStatusE2E : public InitializedBladeTest {};

TEST_F(OperationStatusE2E, EveryFieldReachesTheServerUnchanged) {
    const OperationStatusData data{kOperation, 4000000000u, L"done", L"Gr\u00FC\u00DFe", 0xFFFFFFFFu};
    ASSERT_EQ(TARNSTUB_OK, SetOperationStatus(&data)) << LogDump();
    EXPECT_EQ(std::vector<std::wstring>{std::wstring(L"SetOperationStatus(opGuid=") + kOperationText +
                                        L", status=4000000000, text1=\"done\", text2=\"Gr\u00FC\u00DFe\", "
                                        L"value=4294967295)"},
              Calls())
        << CallDump();
}

TEST_F(OperationStatusE2E, NullTextsTravelAsEmptyBstrsNotNullOnes) {
    const OperationStatusData data{kOperation, 1, nullptr, nullptr, 0};
    ASSERT_EQ(TARNSTUB_OK, SetOperationStatus(&data));
    EXPECT_EQ(std::vector<std::wstring>{std::wstring(L"SetOperationStatus(opGuid=") + kOperationText +
                                        L", status=1, text1=\"\", text2=\"\", value=0)"},
              Calls())
        << CallDump();
}

TEST_F(OperationStatusE2E, AnAllZeroGuidIsRefusedWithoutAServerCall) {
    const OperationStatusData data{GUID_NULL, 2, L"a", L"b", 3};
    EXPECT_EQ(TARNSTUB_OPERATION_STATUS_FAILED, SetOperationStatus(&data));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetOperationStatus")) << CallDump();
    const std::wstring text = L"Invalid GUID sent: 00000000-0000-0000-0000-000000000000";
    const auto lines = LogLines();
    EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, kName, text)) << LogDump();
    EXPECT_EQ(std::vector<wchar_t>{L'E'},
              LevelsOf(lines, L"TarnNotificationPeer::OnAdaptorError", L"hr: 0x8058000c message: " + text))
        << LogDump();
}

TEST_F(OperationStatusE2E, AFailedCallIsLoggedWithGuidStatusAndResult) {
    TarnRef_FailOperation(L"SetOperationStatus", E_FAIL);
    const OperationStatusData data{kOperation, 4000000000u, L"t", nullptr, 1};
    EXPECT_EQ(TARNSTUB_OPERATION_STATUS_FAILED, SetOperationStatus(&data));
    const auto lines = LogLines();
    EXPECT_EQ(std::vector<wchar_t>{L'E'},
              LevelsOf(lines, kName,
                       std::wstring(L"SetOperationStatus with opGuid: ") + kOperationText +
                           L", opStatus: 4000000000, call failed, hr: 0x80004005. "))
        << LogDump();
    EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, L"TarnNotificationPeer::OnAdaptorError",
                                                   L"hr: 0x80580005 message: SetOperationStatus call failed"))
        << LogDump();
    // Nothing is retried.
    EXPECT_EQ(1u, TarnRef_CountCalls(L"SetOperationStatus"));
}

TEST_F(OperationStatusE2E, ASuccessCodeOtherThanZeroIsStillASuccess) {
    TarnRef_SetResult(L"SetOperationStatus", S_FALSE);
    const OperationStatusData data{kOperation, 0, L"", L"", 0};
    EXPECT_EQ(TARNSTUB_OK, SetOperationStatus(&data));
}

}  // namespace
