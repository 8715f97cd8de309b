// GetActivationStatus: the PAC priority list into the caller's buffer, never
// past its capacity, and answers that are not a one-dimensional VT_I4 list
// refused as failed calls.
#include <gtest/gtest.h>

#include <algorithm>

#include "LogFile.h"
#include "PolicyTestSupport.h"
#include "win/raii.h"

namespace {

using policy_test::InitializedBladeTest;
using tarn_test::LevelsOf;

constexpr wchar_t kName[] = L"TarnAdaptor::QueryActivations";
constexpr LONG kGuard = 0x5A5A5A5A;

class ActivationsE2E : public InitializedBladeTest {
protected:
    void ExpectFailedCall(const std::wstring& hrText) {
        const auto lines = LogLines();
        EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, kName, L"GetActivations call failed, hr: " + hrText))
            << LogDump();
        EXPECT_EQ(std::vector<wchar_t>{L'E'}, LevelsOf(lines, L"TarnNotificationPeer::OnAdaptorError",
                                                       L"hr: 0x80580005 message: GetActivations call failed"))
            << LogDump();
    }
};

TEST_F(ActivationsE2E, AShortListFillsTheFrontOfTheBuffer) {
    const LONG list[] = {7, 3, 12};
    TarnRef_SetActivations(list, 3);
    LONG pacs[5] = {kGuard, kGuard, kGuard, kGuard, kGuard};
    LONG count = 5;
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(pacs, &count)) << LogDump();
    EXPECT_EQ(3, count);
    EXPECT_EQ((std::vector<LONG>{7, 3, 12, kGuard, kGuard}), std::vector<LONG>(pacs, pacs + 5));
    EXPECT_EQ(std::vector<wchar_t>{L'V'}, LevelsOf(LogLines(), kName, L"PAC priority list: { 7, 3, 12 }"))
        << LogDump();
    EXPECT_EQ(std::vector<std::wstring>{L"GetActivations()"}, Calls()) << CallDump();
}

TEST_F(ActivationsE2E, ASingleEntryListIsClosedAfterItsOnlyEntry) {
    const LONG list[] = {-4};
    TarnRef_SetActivations(list, 1);
    LONG pacs[3] = {kGuard, kGuard, kGuard};
    LONG count = 3;
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(pacs, &count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(-4, pacs[0]);
    EXPECT_EQ(1u, LevelsOf(LogLines(), kName, L"PAC priority list: { -4 }").size()) << LogDump();
}

TEST_F(ActivationsE2E, AnEmptyListIsASuccessWithCountZero) {
    TarnRef_SetActivations(nullptr, 0);
    LONG pacs[3] = {kGuard, kGuard, kGuard};
    LONG count = 3;
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(pacs, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ((std::vector<LONG>{kGuard, kGuard, kGuard}), std::vector<LONG>(pacs, pacs + 3));
    EXPECT_EQ(std::vector<wchar_t>{L'V'}, LevelsOf(LogLines(), kName, L"PAC priority list is empty"))
        << LogDump();
}

TEST_F(ActivationsE2E, ANullArrayFromTheServerReadsAsAnEmptyList) {
    TarnRef_SetActivationsArray(nullptr);
    LONG pacs[3] = {kGuard, kGuard, kGuard};
    LONG count = 3;
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(pacs, &count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(kGuard, pacs[0]);
}

TEST_F(ActivationsE2E, ACapacityBelowThreeIsRefusedBeforeAnyServerCall) {
    const LONG list[] = {1};
    TarnRef_SetActivations(list, 1);
    LONG pacs[2] = {kGuard, kGuard};
    LONG count = 2;
    EXPECT_EQ(TARNSTUB_BUFFER_TOO_SMALL, GetActivationStatus(pacs, &count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(kGuard, pacs[0]);
    EXPECT_EQ(0u, TarnRef_CountCalls(L"GetActivations"));
}

TEST_F(ActivationsE2E, AListLongerThanTheCapacityIsNeverWrittenPastIt) {
    const LONG list[] = {1, 2, 3, 4, 5, 6};
    TarnRef_SetActivations(list, 6);
    // Four entries of room, then guard values the stub must not touch.
    LONG buffer[8];
    std::fill(buffer, buffer + 8, kGuard);
    LONG count = 4;
    EXPECT_EQ(TARNSTUB_BUFFER_TOO_SMALL, GetActivationStatus(buffer, &count));
    EXPECT_EQ(6, count);  // the length the caller needs
    EXPECT_EQ(std::vector<LONG>(8, kGuard), std::vector<LONG>(buffer, buffer + 8));
    // Asking again with the room it was told about gets the whole list.
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(buffer, &count));
    EXPECT_EQ(6, count);
    EXPECT_EQ((std::vector<LONG>{1, 2, 3, 4, 5, 6, kGuard, kGuard}), std::vector<LONG>(buffer, buffer + 8));
}

TEST_F(ActivationsE2E, AListOfExactlyTheCapacityFits) {
    const LONG list[] = {9, 8, 7};
    TarnRef_SetActivations(list, 3);
    LONG buffer[4] = {kGuard, kGuard, kGuard, kGuard};
    LONG count = 3;
    ASSERT_EQ(TARNSTUB_OK, GetActivationStatus(buffer, &count));
    EXPECT_EQ(3, count);
    EXPECT_EQ((std::vector<LONG>{9, 8, 7, kGuard}), std::vector<LONG>(buffer, buffer + 4));
}

TEST_F(ActivationsE2E, AServerFailureGivesCode15AndLeavesTheBuffer) {
    TarnRef_FailOperation(L"GetActivations", E_FAIL);
    LONG pacs[3] = {kGuard, kGuard, kGuard};
    LONG count = 3;
    EXPECT_EQ(TARNSTUB_ACTIVATION_FAILED, GetActivationStatus(pacs, &count));
    EXPECT_EQ(3, count);
    EXPECT_EQ(kGuard, pacs[0]);
    ExpectFailedCall(L"0x80004005");
}

// Answers of the wrong shape: their elements are never read as 32-bit PACs.
class ActivationsShapeE2E : public ActivationsE2E, public ::testing::WithParamInterface<VARTYPE> {};

TEST_P(ActivationsShapeE2E, AVectorOfAnotherElementTypeIsAFailedCall) {
    win::UniqueSafeArray array(SafeArrayCreateVector(GetParam(), 0, 3));
    ASSERT_TRUE(array);
    TarnRef_SetActivationsArray(array.get());
    LONG pacs[3] = {kGuard, kGuard, kGuard};
    LONG count = 3;
    EXPECT_EQ(TARNSTUB_ACTIVATION_FAILED, GetActivationStatus(pacs, &count));
    EXPECT_EQ(3, count);
    EXPECT_EQ((std::vector<LONG>{kGuard, kGuard, kGuard}), std::vector<LONG>(pacs, pacs + 3));
    ExpectFailedCall(L"0x80070057");
}

// A byte array (smaller elements: reading it as LONGs would run past it), a
// wider integer, and unsigned 32-bit (same size, different type).
INSTANTIATE_TEST_SUITE_P(ElementTypes, ActivationsShapeE2E,
                         ::testing::Values(VARTYPE(VT_UI1), VARTYPE(VT_I8), VARTYPE(VT_UI4), VARTYPE(VT_BSTR)),
                         [](const ::testing::TestParamInfo<VARTYPE>& info) {
                             return "VarType" + std::to_string(info.param);
                         });

TEST_F(ActivationsE2E, ATwoDimensionalArrayIsAFailedCall) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    win::UniqueSafeArray array(SafeArrayCreate(VT_I4, 2, bounds));
    ASSERT_TRUE(array);
    TarnRef_SetActivationsArray(array.get());
    LONG pacs[4] = {kGuard, kGuard, kGuard, kGuard};
    LONG count = 4;
    EXPECT_EQ(TARNSTUB_ACTIVATION_FAILED, GetActivationStatus(pacs, &count));
    EXPECT_EQ(4, count);
    EXPECT_EQ(std::vector<LONG>(4, kGuard), std::vector<LONG>(pacs, pacs + 4));
    ExpectFailedCall(L"0x80070057");
}

}  // namespace
