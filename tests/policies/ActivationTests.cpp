// GetActivationStatus: the PAC priority list into the caller's buffer, never
// past its capacity, and answers that are not a one-dimensional VT_I4 list
// refused as failed calls.
#include <gtest/gtest.h>

#include "PolicyTestSupport.h"
#include "win/raii.h"

namespace {

constexpr wchar_t kName[] = L"TarnAdaptor::QueryActivations";
constexpr LONG kGuard = 0x5A5A5A5A;

class ActivationsE2E : public policy_test::InitializedBladeTest {
protected:
    // The activation list's answer into a buffer of guard values; capacity
    // is the room the caller claims, the buffer has two guard places more.
    DWORD Query(LONG capacity) {
        buffer_.assign(capacity + 2, kGuard);
        count_ = capacity;
        return GetActivationStatus(buffer_.data(), &count_);
    }
    LONG count_ = 0;
    std::vector<LONG> buffer_;
};

TEST_F(ActivationsE2E, TheListFillsTheFrontOfTheBufferAndAnEmptyListGivesCountZero) {
    const LONG list[] = {7, 3, 12};
    TarnRef_SetActivations(list, 3);
    ASSERT_EQ(TARNSTUB_OK, Query(5)) << LogDump();
    EXPECT_EQ(3, count_);
    EXPECT_EQ((std::vector<LONG>{7, 3, 12, kGuard, kGuard, kGuard, kGuard}), buffer_);
    TarnRef_SetActivations(nullptr, 0);
    ASSERT_EQ(TARNSTUB_OK, Query(3));
    EXPECT_EQ(0, count_);
    EXPECT_EQ(std::vector<LONG>(5, kGuard), buffer_);
    const auto lines = LogLines();
    for (const wchar_t* line : {L"PAC priority list: { 7, 3, 12 }", L"PAC priority list is empty"})
        EXPECT_EQ(std::vector<wchar_t>{L'V'}, tarn_test::LevelsOf(lines, kName, line)) << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"GetActivations()", L"GetActivations()"}), Calls()) << CallDump();
    // A capacity below three is refused before any server call.
    EXPECT_EQ(TARNSTUB_BUFFER_TOO_SMALL, Query(2));
    EXPECT_EQ(2, count_);
    EXPECT_EQ(std::vector<LONG>(4, kGuard), buffer_);
    EXPECT_EQ(2u, TarnRef_CountCalls(L"GetActivations"));
}

TEST_F(ActivationsE2E, AListLongerThanTheCapacityIsNeverWrittenPastIt) {
    const LONG list[] = {1, 2, 3, 4, 5, 6};
    TarnRef_SetActivations(list, 6);
    EXPECT_EQ(TARNSTUB_BUFFER_TOO_SMALL, Query(4));
    EXPECT_EQ(6, count_);  // the length the caller needs
    EXPECT_EQ(std::vector<LONG>(6, kGuard), buffer_);
    // Asking again with the room it was told about gets the whole list.
    ASSERT_EQ(TARNSTUB_OK, Query(count_));
    EXPECT_EQ(6, count_);
    EXPECT_EQ((std::vector<LONG>{1, 2, 3, 4, 5, 6, kGuard, kGuard}), buffer_);
}

TEST_F(ActivationsE2E, AnswersOfTheWrongShapeAreFailedCalls) {
    // A byte array (smaller elements: reading it as LONGs would run past it),
    // a wider integer, unsigned 32-bit (same size, other type), texts, and
    // a two-dimensional array of the right element type.
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    using Array = win::UniqueSafeArray;
    const Array arrays[] = {Array(SafeArrayCreateVector(VT_UI1, 0, 3)), Array(SafeArrayCreateVector(VT_I8, 0, 3)),
                            Array(SafeArrayCreateVector(VT_UI4, 0, 3)), Array(SafeArrayCreateVector(VT_BSTR, 0, 3)),
                            Array(SafeArrayCreate(VT_I4, 2, square))};
    for (const Array& array : arrays) {
        ASSERT_TRUE(array);
        TarnRef_SetActivationsArray(array.get());
        EXPECT_EQ(TARNSTUB_ACTIVATION_FAILED, Query(4)) << "array " << (&array - arrays);
        EXPECT_EQ(4, count_);
        EXPECT_EQ(std::vector<LONG>(6, kGuard), buffer_);
    }
    ExpectError(kName, L"GetActivations call failed, hr: 0x80070057", L"0x80580005",
                L"GetActivations call failed", std::size(arrays));
}

}  // namespace
