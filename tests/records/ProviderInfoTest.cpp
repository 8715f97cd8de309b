#include <gtest/gtest.h>

#include "TableReading.h"
#include "records/ProviderInfo.h"

namespace {

using records_test::DimensionsOf;
using records_test::ReadBstrCell;

const wchar_t* const kPropertyNames[] = {L"version", L"state"};
const wchar_t* const kPropertyValues[] = {L"1.2", L"on"};
const wchar_t* const kChunkNames[] = {L"c0", L"c1", L"c2"};
const wchar_t* const kChunkValues[] = {L"<a/>", L"<b/>", L"<c/>"};
const wchar_t* const kMessages[] = {L"started", L"stopped", L"failed"};

ProviderInfoData FullData() {
    return {L"blade", kPropertyNames, kPropertyValues, 2, kChunkNames, kChunkValues, 3,
            kMessages, 3};
}

struct VariantCell {
    VARTYPE type;
    std::wstring text;
    ULONG number;
};

VariantCell ReadVariantCell(SAFEARRAY* table, LONG column, LONG row) {
    LONG index[2] = {column, row};
    win::UniqueVariant cell;
    if (FAILED(::SafeArrayGetElement(table, index, cell.get()))) return {VT_ERROR, L"", 0};
    const VARIANT* v = cell.get();
    if (V_VT(v) == VT_BSTR) return {VT_BSTR, V_BSTR(v) ? V_BSTR(v) : L"", 0};
    if (V_VT(v) == VT_UI4) return {VT_UI4, L"", V_UI4(v)};
    return {V_VT(v), L"", 0};
}

TEST(ProviderInfoFromData, NegativeCountsAndMissingListsCountAsNone) {
    ProviderInfoData data = FullData();
    data.propertyCount = -1;
    data.xmlChunkCount = -5;
    data.notificationCount = -2;
    const ProviderInfo negative = ProviderInfo::FromData(data);
    EXPECT_EQ(L"blade", negative.name);
    EXPECT_TRUE(negative.properties.empty());
    EXPECT_TRUE(negative.xmlChunks.empty());
    EXPECT_TRUE(negative.notifications.empty());
    EXPECT_FALSE(negative.IsValid());

    // A positive count with no list behind it is read as no items.
    const ProviderInfoData missing = {nullptr, nullptr, kPropertyValues, 2, kChunkNames,
                                      nullptr, 3, nullptr, 3};
    const ProviderInfo none = ProviderInfo::FromData(missing);
    EXPECT_EQ(L"", none.name);
    EXPECT_TRUE(none.properties.empty());
    EXPECT_TRUE(none.xmlChunks.empty());
    EXPECT_TRUE(none.notifications.empty());
}

TEST(ProviderInfoFromData, CopiesItemsInOrderAndNullTextsAsEmpty) {
    const wchar_t* const values[] = {nullptr, L"on"};
    ProviderInfoData data = FullData();
    data.propertyValues = values;
    const ProviderInfo info = ProviderInfo::FromData(data);
    ASSERT_EQ(2u, info.properties.size());
    EXPECT_EQ(ProviderInfo::NamedText(L"version", L""), info.properties[0]);
    EXPECT_EQ(ProviderInfo::NamedText(L"state", L"on"), info.properties[1]);
    ASSERT_EQ(3u, info.xmlChunks.size());
    EXPECT_EQ(ProviderInfo::NamedText(L"c2", L"<c/>"), info.xmlChunks[2]);
    EXPECT_EQ((std::vector<std::wstring>{L"started", L"stopped", L"failed"}), info.notifications);
}

TEST(ProviderInfoIsValid, NeedsANameAndAtLeastOneItem) {
    ProviderInfo nameOnly(L"blade");
    EXPECT_FALSE(nameOnly.IsValid());

    ProviderInfo noName;
    noName.AppendProperty(L"p", L"v");
    EXPECT_FALSE(noName.IsValid());

    for (int kind = 0; kind < 3; ++kind) {
        ProviderInfo one(L"blade");
        if (kind == 0) one.AppendProperty(L"p", L"v");
        if (kind == 1) one.AppendXmlChunk(L"c", L"<x/>");
        if (kind == 2) one.AppendNotification(L"m");
        EXPECT_TRUE(one.IsValid()) << kind;
    }
}

TEST(ProviderInfoToString, ListsEverySectionInOrder) {
    ProviderInfo info(L"blade");
    info.AppendProperty(L"version", L"1.2");
    info.AppendXmlChunk(L"c0", L"<a/>");
    info.AppendNotification(L"started");
    info.AppendNotification(L"stopped");
    EXPECT_EQ(L"Provider:\n"
              L"\tName=\"blade\"\n"
              L"\tProperties:\n"
              L"\t\tName: \"version\" Value: \"1.2\"\n"
              L"\tXmlChunks:\n"
              L"\t\tXmlChunkName: \"c0\" Value: \"<a/>\"\n"
              L"\tNotifications:\n"
              L"\t\tMessage[0]: \"started\"\n"
              L"\t\tMessage[1]: \"stopped\"\n",
              info.ToString());
}

TEST(ProviderInfoPropertiesArray, PropertiesThenChunksWithTheirKinds) {
    const ProviderInfo info = ProviderInfo::FromData(FullData());
    win::UniqueSafeArray array;
    ASSERT_TRUE(info.GetPropertiesSafeArray(array));
    ASSERT_TRUE(array);

    VARTYPE vt = VT_EMPTY;
    ASSERT_HRESULT_SUCCEEDED(::SafeArrayGetVartype(array.get(), &vt));
    EXPECT_EQ(VT_VARIANT, vt);
    const records_test::Dimensions d = DimensionsOf(array.get());
    EXPECT_EQ(2u, d.count);
    EXPECT_EQ(0, d.firstLower);
    EXPECT_EQ(3, d.firstUpper);
    EXPECT_EQ(0, d.secondLower);
    EXPECT_EQ(4, d.secondUpper);

    const wchar_t* const names[] = {L"version", L"state", L"c0", L"c1", L"c2"};
    const wchar_t* const values[] = {L"1.2", L"on", L"<a/>", L"<b/>", L"<c/>"};
    for (LONG row = 0; row < 5; ++row) {
        const VariantCell provider = ReadVariantCell(array.get(), 0, row);
        const VariantCell name = ReadVariantCell(array.get(), 1, row);
        const VariantCell value = ReadVariantCell(array.get(), 2, row);
        const VariantCell kind = ReadVariantCell(array.get(), 3, row);
        EXPECT_EQ(VT_BSTR, provider.type);
        EXPECT_EQ(L"blade", provider.text);
        EXPECT_EQ(names[row], name.text);
        EXPECT_EQ(values[row], value.text);
        EXPECT_EQ(VT_UI4, kind.type);
        EXPECT_EQ(row < 2 ? 0u : 1u, kind.number) << row;
    }
    // The caller can free the table: it is not left locked.
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(array.release()));
}

TEST(ProviderInfoPropertiesArray, ArrayOfAnotherShapeIsRefusedAndLeftAlone) {
    const ProviderInfo info = ProviderInfo::FromData(FullData());
    SAFEARRAYBOUND small[2] = {{4, 0}, {2, 0}};  // room for 2 of the 5 rows
    win::UniqueSafeArray tooSmall(::SafeArrayCreate(VT_VARIANT, 2, small));
    SAFEARRAY* const before = tooSmall.get();
    EXPECT_FALSE(info.GetPropertiesSafeArray(tooSmall));
    EXPECT_EQ(before, tooSmall.get());
    EXPECT_EQ(VT_EMPTY, ReadVariantCell(tooSmall.get(), 0, 0).type);

    SAFEARRAYBOUND exact[2] = {{4, 0}, {5, 0}};
    win::UniqueSafeArray ofBstrs(::SafeArrayCreate(VT_BSTR, 2, exact));
    EXPECT_FALSE(info.GetPropertiesSafeArray(ofBstrs));

    win::UniqueSafeArray fitting(::SafeArrayCreate(VT_VARIANT, 2, exact));
    ASSERT_TRUE(info.GetPropertiesSafeArray(fitting));
    EXPECT_EQ(L"c2", ReadVariantCell(fitting.get(), 1, 4).text);
}

TEST(ProviderInfoNotificationsArray, NameAndMessagePerRow) {
    const ProviderInfo info = ProviderInfo::FromData(FullData());
    win::UniqueSafeArray array;
    ASSERT_TRUE(info.GetNotificationsSafeArray(array));
    VARTYPE vt = VT_EMPTY;
    ASSERT_HRESULT_SUCCEEDED(::SafeArrayGetVartype(array.get(), &vt));
    EXPECT_EQ(VT_BSTR, vt);
    const records_test::Dimensions d = DimensionsOf(array.get());
    EXPECT_EQ(2u, d.count);
    EXPECT_EQ(1, d.firstUpper);
    EXPECT_EQ(2, d.secondUpper);
    for (LONG row = 0; row < 3; ++row) {
        EXPECT_EQ(L"blade", ReadBstrCell(array.get(), 0, row));
        EXPECT_EQ(kMessages[row], ReadBstrCell(array.get(), 1, row));
    }
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(array.release()));
}

TEST(ProviderInfoNotificationsArray, NoNameNoArrayAndNoMessagesAnEmptyOne) {
    ProviderInfo unnamed;
    unnamed.AppendNotification(L"m");
    win::UniqueSafeArray array;
    EXPECT_FALSE(unnamed.GetNotificationsSafeArray(array));
    EXPECT_FALSE(array);

    const ProviderInfo silent(L"blade");
    ASSERT_TRUE(silent.GetNotificationsSafeArray(array));
    const records_test::Dimensions d = DimensionsOf(array.get());
    EXPECT_EQ(2u, d.count);
    EXPECT_EQ(-1, d.secondUpper);
}

}  // namespace
