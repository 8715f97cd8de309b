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
}

// The buffer contract at its edges. A caller that follows it (on 18, call
// again with room for *count entries) gets the list in one more call.
struct Boundary {
    const char* name;
    LONG listLength;
    LONG capacity;
    DWORD result;
    LONG count;    // *count afterwards
    LONG written;  // entries written to the buffer
    ULONG calls;   // GetActivations calls the server saw
};

const Boundary kBoundaries[] = {
    {"capacity below three: refused before the server, told the minimum", 1, 2, TARNSTUB_BUFFER_TOO_SMALL, 3, 0, 0},
    {"no room at all", 1, 0, TARNSTUB_BUFFER_TOO_SMALL, 3, 0, 0},
    {"a list exactly as long as the capacity", 3, 3, TARNSTUB_OK, 3, 3, 1},
    {"a list one longer than the capacity: nothing written", 4, 3, TARNSTUB_BUFFER_TOO_SMALL, 4, 0, 1},
    {"a list one shorter than the capacity", 4, 5, TARNSTUB_OK, 4, 4, 1},
};

TEST_F(ActivationsE2E, TheBufferContractHoldsAtItsEdgesAndItsRetryRuleEnds) {
    for (const Boundary& edge : kBoundaries) {
        SCOPED_TRACE(edge.name);
        TarnRef_ClearCallRecord();
        std::vector<LONG> list(static_cast<size_t>(edge.listLength));
        for (LONG i = 0; i < edge.listLength; ++i) list[static_cast<size_t>(i)] = 100 + i;
        TarnRef_SetActivations(list.data(), static_cast<ULONG>(list.size()));
        EXPECT_EQ(edge.result, Query(edge.capacity));
        EXPECT_EQ(edge.count, count_);
        std::vector<LONG> expected(static_cast<size_t>(edge.capacity) + 2, kGuard);
        std::copy(list.begin(), list.begin() + edge.written, expected.begin());
        EXPECT_EQ(expected, buffer_);
        EXPECT_EQ(edge.calls, TarnRef_CountCalls(L"GetActivations")) << CallDump();
        // The retry rule: ask again with the room the stub asked for.
        LONG capacity = edge.capacity;
        DWORD result = edge.result;
        for (int retries = 0; result == TARNSTUB_BUFFER_TOO_SMALL && retries < 3; ++retries) {
            capacity = count_;
            result = Query(capacity);
        }
        EXPECT_EQ(TARNSTUB_OK, result);
        EXPECT_EQ(edge.listLength, count_);
    }
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
    ExpectError(kName, L"GetActivations call failed, hr: 0x80070057", L"0x80580005", L"GetActivations call failed",
                std::size(arrays));
}

}  // namespace
