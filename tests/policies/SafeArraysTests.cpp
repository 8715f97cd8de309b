// The readers of the arrays the server answers: policy content and PAC lists
// are read only from arrays of exactly the expected shape, and never past
// their last element.
#include <gtest/gtest.h>

#include "adaptor/SafeArrays.h"

namespace {

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

TEST(PolicySafeArrays, ContentOfAnotherElementTypeIsRefused) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_I2, 0, 4));
    ASSERT_TRUE(array);
    EXPECT_FALSE(safe_arrays::Utf8Text(array.get()).has_value());
}

TEST(PolicySafeArrays, TwoDimensionalContentIsRefused) {
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    win::UniqueSafeArray array(SafeArrayCreate(VT_UI1, 2, bounds));
    ASSERT_TRUE(array);
    EXPECT_FALSE(safe_arrays::Utf8Text(array.get()).has_value());
    EXPECT_FALSE(safe_arrays::Longs(array.get()).has_value());
}

TEST(PolicySafeArrays, ALowerBoundOtherThanZeroStillReadsEveryElement) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_I4, 5, 2));
    ASSERT_TRUE(array);
    LONG values[2] = {7, -3};
    for (LONG i = 0; i < 2; ++i) {
        LONG index = 5 + i;
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), &index, &values[i]));
    }
    EXPECT_EQ(std::optional<std::vector<LONG>>(std::vector<LONG>{7, -3}), safe_arrays::Longs(array.get()));
}

TEST(PolicySafeArrays, NoArrayReadsAsEmpty) {
    EXPECT_EQ(std::optional<std::wstring>(L""), safe_arrays::Utf8Text(nullptr));
    EXPECT_EQ(std::optional<std::vector<LONG>>(std::vector<LONG>{}), safe_arrays::Longs(nullptr));
    EXPECT_EQ(0u, safe_arrays::ElementCount(nullptr));
}

}  // namespace
