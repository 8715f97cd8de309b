// The blade's provider description as the server receives it: one
// registration per connection, properties and XML chunks in one table, the
// notification messages in another.
#include <gtest/gtest.h>

#include "ReportsSupport.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using reports_test::ReportsTest;

class ProviderInfoE2E : public ReportsTest {
protected:
    // The GUID the provider was registered under, as the record shows it.
    static std::wstring RegisteredGuid() {
        const auto lines = CallsStartingWith(L"RegisterProvider(bladeGuid=");
        if (lines.empty()) return L"<none>";
        const std::wstring& line = lines.front();
        return line.substr(27, line.find(L')') - 27);
    }
};

const wchar_t kSendProviderInfo[] = L"TarnAdaptor::SendProviderInfo";

TEST_F(ProviderInfoE2E, PropertiesAndChunksShareOneTableInTheirOrder) {
    InitializeConnected();
    const wchar_t* propertyNames[] = {L"p0", L"p1"};
    const wchar_t* propertyValues[] = {L"v0", L"v1"};
    const wchar_t* chunkNames[] = {L"x0", L"x1", L"x2"};
    const wchar_t* chunkValues[] = {L"<a/>", L"<b/>", L"<c/>"};
    ProviderInfoData data = {};
    data.name = L"prov";
    data.propertyNames = propertyNames;
    data.propertyValues = propertyValues;
    data.propertyCount = 2;
    data.xmlChunkNames = chunkNames;
    data.xmlChunkValues = chunkValues;
    data.xmlChunkCount = 3;
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));

    const std::wstring guid = RegisteredGuid();
    EXPECT_EQ(36u, guid.size()) << CallDump();
    EXPECT_EQ((std::vector<std::wstring>{
                  L"SetProperties(bladeGuid=" + guid +
                  L", table=VT_VARIANT[4x5,lb=0,0]{"
                  L"{VT_BSTR:\"prov\",VT_BSTR:\"p0\",VT_BSTR:\"v0\",VT_UI4:0},"
                  L"{VT_BSTR:\"prov\",VT_BSTR:\"p1\",VT_BSTR:\"v1\",VT_UI4:0},"
                  L"{VT_BSTR:\"prov\",VT_BSTR:\"x0\",VT_BSTR:\"<a/>\",VT_UI4:1},"
                  L"{VT_BSTR:\"prov\",VT_BSTR:\"x1\",VT_BSTR:\"<b/>\",VT_UI4:1},"
                  L"{VT_BSTR:\"prov\",VT_BSTR:\"x2\",VT_BSTR:\"<c/>\",VT_UI4:1}})"}),
              CallsStartingWith(L"SetProperties("))
        << CallDump();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetNotification"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(ProviderInfoE2E, OnlyNotificationsSendNoPropertyTable) {
    InitializeConnected();
    const wchar_t* messages[] = {L"m0", L"m1"};
    ProviderInfoData data = {};
    data.name = L"prov";
    data.propertyCount = -3;  // negative counts are none
    data.notifications = messages;
    data.notificationCount = 2;
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    const std::wstring guid = RegisteredGuid();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider"));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetProperties")) << CallDump();
    EXPECT_EQ((std::vector<std::wstring>{L"SetNotification(bladeGuid=" + guid +
                                         L", table=VT_BSTR[2x2,lb=0,0]{{\"prov\",\"m0\"},{\"prov\",\"m1\"}})"}),
              CallsStartingWith(L"SetNotification("))
        << CallDump();
    // The registration's success line is written at level 1.
    const auto errors = TextsOf(kSendProviderInfo, L'E');
    ASSERT_EQ(1u, errors.size()) << LogDump();
    EXPECT_EQ(0u, errors[0].find(L"RegisterProvider succeeded for blade: 12, bladeGuid=" + guid)) << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(ProviderInfoE2E, ASecondDescriptionOnTheSameConnectionIsNotRegisteredAgain) {
    InitializeConnected();
    const wchar_t* names[] = {L"k"};
    const wchar_t* first[] = {L"1"};
    const wchar_t* second[] = {L"2"};
    ProviderInfoData data = {};
    data.name = L"prov";
    data.propertyNames = names;
    data.propertyValues = first;
    data.propertyCount = 1;
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    data.propertyValues = second;
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    const auto tables = CallsStartingWith(L"SetProperties(");
    ASSERT_EQ(2u, tables.size()) << CallDump();
    EXPECT_NE(std::wstring::npos, tables[1].find(L"VT_BSTR:\"k\",VT_BSTR:\"2\",VT_UI4:0")) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(ProviderInfoE2E, InvalidDescriptionsAreRefusedBeforeAnyServerCall) {
    InitializeConnected();
    const wchar_t* names[] = {L"k"};
    const wchar_t* values[] = {L"v"};
    ProviderInfoData nameOnly = {};
    nameOnly.name = L"prov";
    ProviderInfoData noName = {};
    noName.name = L"";
    noName.propertyNames = names;
    noName.propertyValues = values;
    noName.propertyCount = 1;
    ProviderInfoData nullName = noName;
    nullName.name = nullptr;
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&nameOnly));
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&noName));
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&nullName));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    EXPECT_EQ(3u, TextsOf(kSendProviderInfo, L'E').size()) << LogDump();
    EXPECT_EQ(0u, TextsOf(kSendProviderInfo, L'E')[0].find(L"Provider info is not valid. Exiting")) << LogDump();
    EXPECT_EQ(std::vector<std::wstring>(3, L"hr: 0x8058000c message: Provider info is not valid."), AdaptorErrors());
    // Nothing was saved: the traces never say so.
    EXPECT_TRUE(TextsOf(kSendProviderInfo, L'V').empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(ProviderInfoE2E, FailedServerCallsAreEachReported) {
    InitializeConnected();
    const wchar_t* names[] = {L"k"};
    const wchar_t* values[] = {L"v"};
    const wchar_t* messages[] = {L"m"};
    ProviderInfoData data = {};
    data.name = L"prov";
    data.propertyNames = names;
    data.propertyValues = values;
    data.propertyCount = 1;
    data.notifications = messages;
    data.notificationCount = 1;
    TarnRef_FailOperation(L"RegisterProvider", E_FAIL);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&data));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetProperties"));
    TarnRef_FailOperation(L"RegisterProvider", 0);
    TarnRef_FailOperation(L"SetProperties", E_FAIL);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&data));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetNotification"));
    TarnRef_FailOperation(L"SetProperties", 0);
    TarnRef_FailOperation(L"SetNotification", E_FAIL);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&data));
    TarnRef_FailOperation(L"SetNotification", 0);
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    // The registration that succeeded holds for the later sends.
    EXPECT_EQ(2u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    const std::wstring guid = RegisteredGuid();
    const auto errors = AdaptorErrors();
    ASSERT_EQ(3u, errors.size()) << LogDump();
    EXPECT_EQ(L"hr: 0x80580005 message: RegisterProvider call failed, not sending providerInfo. BladeGuid: " + guid +
                  L", hr: 0x80004005",
              errors[0]);
    EXPECT_EQ(L"hr: 0x80580005 message: SetProperties call failed", errors[1]);
    EXPECT_EQ(L"hr: 0x80580005 message: SetNotification call failed, not sending providerInfo", errors[2]);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
