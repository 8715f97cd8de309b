#include <gtest/gtest.h>

#include <string>

#include "records/OperationStatusInfo.h"

namespace {

const GUID kOp = {0xa1b2c3d4, 0xe5f6, 0x0718, {0x29, 0x3a, 0x4b, 0x5c, 0x6d, 0x7e, 0x8f, 0x90}};

TEST(OperationStatusInfoTest, NullTextsBecomeEmptyTexts) {
    const OperationStatusData data = {kOp, 7, nullptr, nullptr, 0xffffffffu};
    const OperationStatusInfo info(data);
    EXPECT_TRUE(IsEqualGUID(kOp, info.GetOpGuid()));
    EXPECT_EQ(7u, info.GetOpStatus());
    EXPECT_EQ(L"", info.GetOpText1());
    EXPECT_EQ(L"", info.GetOpText2());
    EXPECT_EQ(0xffffffffu, info.GetOpValue());
    EXPECT_EQ(L"a1b2c3d4-e5f6-0718-293a-4b5c6d7e8f90", info.GetOpGuidString());
}

TEST(OperationStatusInfoTest, KeepsItsOwnCopiesOfTheCallersTexts) {
    wchar_t text1[] = L"first";
    wchar_t text2[] = L"second";
    OperationStatusData data = {kOp, 1, text1, text2, 2};
    const OperationStatusInfo info(data);
    text1[0] = L'X';
    text2[0] = L'Y';
    data.opStatus = 99;
    EXPECT_EQ(L"first", info.GetOpText1());
    EXPECT_EQ(L"second", info.GetOpText2());
    EXPECT_EQ(1u, info.GetOpStatus());
}

}  // namespace
