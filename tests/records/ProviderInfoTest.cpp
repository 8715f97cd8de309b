#include <gtest/gtest.h>

#include "TableReading.h"
#include "records/ProviderInfo.h"

namespace {

const wchar_t* const kPropertyNames[] = {L"version", L"state"};
const wchar_t* const kPropertyValues[] = {nullptr, L"on"};  // null: the empty text
const wchar_t* const kChunkNames[] = {L"c0", L"c1", L"c2"};
const wchar_t* const kChunkValues[] = {L"<a/>", L"<b/>", L"<c/>"};
const wchar_t* const kMessages[] = {L"started", L"stopped", L"failed"};

ProviderInfoData FullData() {
    return {L"blade", kPropertyNames, kPropertyValues, 2, kChunkNames, kChunkValues, 3, kMessages, 3};
}

TEST(ProviderInfoFromData, NegativeCountsAndMissingListsCountAsNone) {
    ProviderInfoData data = FullData();
    data.propertyCount = -1;
    data.xmlChunkCount = -5;
    data.notificationCount = -2;
    const ProviderInfo negative = ProviderInfo::FromData(data);
    EXPECT_EQ(L"blade", negative.name);
    EXPECT_TRUE(negative.properties.empty() && negative.xmlChunks.empty() && negative.notifications.empty());
    EXPECT_FALSE(negative.IsValid());

    // A positive count with no list behind it is read as no items.
    const ProviderInfo none =
        ProviderInfo::FromData({nullptr, nullptr, kPropertyValues, 2, kChunkNames, nullptr, 3, nullptr, 3});
    EXPECT_EQ(L"", none.name);
    EXPECT_TRUE(none.properties.empty() && none.xmlChunks.empty() && none.notifications.empty());
}

TEST(ProviderInfoIsValid, NeedsANameAndAtLeastOneItemOfAnyKind) {
    ProviderInfo property, chunk(L"blade"), note(L"blade");
    property.AppendProperty(L"p", L"v");
    EXPECT_FALSE(property.IsValid());  // no name
    EXPECT_FALSE(chunk.IsValid());     // no item
    property.name = L"blade";
    chunk.AppendXmlChunk(L"c", L"<x/>");
    note.AppendNotification(L"m");
    EXPECT_TRUE(property.IsValid());
    EXPECT_TRUE(chunk.IsValid());
    EXPECT_TRUE(note.IsValid());
}

TEST(ProviderInfoArrays, PropertiesThenChunksWithTheirKindsAndAMessagePerRow) {
    const ProviderInfo info = ProviderInfo::FromData(FullData());
    win::UniqueSafeArray array;
    ASSERT_TRUE(info.GetPropertiesSafeArray(array));
    EXPECT_EQ("vt12 [0..3] [0..4]", records_test::ShapeOf(array.get()));
    EXPECT_EQ(
        L"blade,version,,#0|blade,state,on,#0|blade,c0,<a/>,#1|blade,c1,<b/>,#1|"
        L"blade,c2,<c/>,#1",
        records_test::TableText(array.get()));
    // The caller can free the tables: they are not left locked.
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(array.release()));

    ASSERT_TRUE(info.GetNotificationsSafeArray(array));
    EXPECT_EQ("vt8 [0..1] [0..2]", records_test::ShapeOf(array.get()));
    EXPECT_EQ(L"blade,started|blade,stopped|blade,failed", records_test::TableText(array.get()));
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(array.release()));
}

}  // namespace
