// With the stub's code linked in: what the monitor thread does for reports
// and payloads (run with a short period), and TarnAdaptor::SendBladeMessage
// called directly for the checks a blade payload never reaches.
#include <gtest/gtest.h>

#include <algorithm>

#include "ReportsSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"
#include "records/BladeMessage.h"
#include "CurrentAdaptor.h"
#include "stub/ModuleState.h"

namespace {

using reports_test::ReportsTest;
using reports_test::Texts;
using tarn_test::kWaitMs;

TarnAdaptor& Adaptor() { return *tarn_test::CurrentAdaptor(); }

const wchar_t* const kKeys[] = {L"key"};
const wchar_t* const kSavedValues[] = {L"saved"};
const wchar_t* const kLaterValues[] = {L"later"};

ProviderInfoData Description(const wchar_t* name, const wchar_t* const* values, LONG count = 1) {
    return {name, kKeys, values, count, nullptr, nullptr, 0, nullptr, 0};
}

class MonitorCoreE2E : public ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        adaptor_testing::SetMonitorPeriod(100);
    }

    // Lets the monitor run a few more ticks against a live server.
    static void WaitSomeTicks() {
        const ULONG seen = TarnRef_CountCalls(L"IsAlive");
        ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", seen + 3, kWaitMs)) << CallDump();
    }
};

TEST_F(MonitorCoreE2E, ADescriptionGivenWithoutAServerIsSentOnceItComesBackAndAfterARestart) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const ProviderInfoData saved = Description(L"prov", kSavedValues);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&saved));
    // Invalid descriptions (name only, empty name, no name) are reported and not saved over it.
    for (const ProviderInfoData& invalid :
         {Description(L"prov", nullptr, 0), Description(L"", kLaterValues), Description(nullptr, kLaterValues)})
        EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&invalid));
    const auto errors = AdaptorErrors();
    EXPECT_EQ(3, std::count(errors.begin(), errors.end(), L"hr: 0x8058000c message: Provider info is not valid."));
    EXPECT_EQ((Texts{L"Provider info saved"}), TextsOf(L"TarnAdaptor::SendProviderInfo", L'V')) << LogDump();
    EXPECT_EQ(0u, TarnRef_CallCount()) << CallDump();

    RegisterServer();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", 1, kWaitMs)) << CallDump() << LogDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider"));
    const auto tables = CallsStartingWith(L"SetProperties(");
    ASSERT_EQ(1u, tables.size());
    EXPECT_NE(std::wstring::npos, tables[0].find(L"{VT_BSTR:\"prov\",VT_BSTR:\"key\",VT_BSTR:\"saved\",VT_UI4:0}"))
        << CallDump();
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&Adaptor().BladeGuid()));
    // Sent completely: the monitor has nothing left to retry.
    WaitSomeTicks();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"SetProperties")) << CallDump();
    EXPECT_FALSE(LogHas(L"MonitorThread: Trying to send last saved provider info")) << LogDump();

    // After the server restarts, the last description is registered and sent again.
    const ProviderInfoData later = Description(L"prov", kLaterValues);
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&later));
    TarnRef_Restart();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"RegisterProvider", 2, kWaitMs)) << CallDump() << LogDump();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", 3, kWaitMs)) << CallDump();
    EXPECT_NE(std::wstring::npos, CallsStartingWith(L"SetProperties(").back().find(L"VT_BSTR:\"later\"")) << CallDump();
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&Adaptor().BladeGuid()));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, AFailedResendIsRetriedOnEveryTickUntilItGoesThrough) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const ProviderInfoData saved = Description(L"prov", kSavedValues);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&saved));
    TarnRef_FailOperation(L"SetProperties", E_FAIL);
    RegisterServer();
    // The send after the connection, then at least two retries of the monitor.
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", 3, kWaitMs)) << CallDump() << LogDump();
    EXPECT_GE(CountLogLines(L"MonitorThread: Trying to send last saved provider info"), 2u) << LogDump();
    TarnRef_FailOperation(L"SetProperties", 0);
    const ULONG attempts = TarnRef_CountCalls(L"SetProperties");
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", attempts + 1, kWaitMs)) << CallDump();
    WaitSomeTicks();
    // One success, the last call, then no more sends; the registration was never repeated.
    const auto calls = CallsStartingWith(L"SetProperties(");
    EXPECT_EQ(1, std::count_if(calls.begin(), calls.end(),
                               [](const std::wstring& call) { return call.find(L") -> 0x") == std::wstring::npos; }))
        << CallDump();
    EXPECT_EQ(std::wstring::npos, calls.back().find(L") -> 0x")) << CallDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// The table is appended to by blade payloads and listed by the monitor at
// every connection.
TEST_F(MonitorCoreE2E, EachPayloadTypeIsOneTableEntryShownAtTheNextConnection) {
    InitializeConnected();
    EXPECT_TRUE(LogHas(L"Blade: 12 did not set supported blade messages")) << LogDump();
    for (const wchar_t* type : {L"A", L"A", L"B", L"a", L"B"}) {
        win::UniqueBstr response;
        EXPECT_EQ(TARNSTUB_OK, SendBladePayload(type, L"d", response.put()));
    }
    TarnRef_Restart();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 2, kWaitMs)) << CallDump() << LogDump();
    // Looked up case-sensitively; every type once, in the order first sent.
    EXPECT_TRUE(LogHas(L"Supported blade messages, blade: 12 messages: ( A, B, a )")) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, APayloadCollectedWithoutAServerWaitsQuietlyForItsPull) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    // The trigger finds no connection; the second payload replaces the first.
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"waiting", L"early"));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"waiting", L"kept for later"));
    // Not being connected is not reported.
    EXPECT_TRUE(TextsOf(L"TarnAdaptor::TriggerPayloadPoll", L'E').empty()) << LogDump();
    EXPECT_TRUE(TextsOf(L"TarnAdaptor::CollectPayload", L'E').empty()) << LogDump();
    for (const std::wstring& error : AdaptorErrors()) EXPECT_EQ(std::wstring::npos, error.find(L"Payload")) << error;
    RegisterServer();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 1, kWaitMs)) << LogDump();
    EXPECT_EQ(L"0x00000000 VT_UI1 waiting: kept for later", reports_test::Pull());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, APulledPayloadIsItsUtf8BytesWithoutATerminator) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T", L"\u00e9"));
    win::UniqueSafeArray payload;
    win::UniqueBstr type;
    ASSERT_EQ(S_OK, Adaptor().GetPayload(payload.put(), type.put()));
    VARTYPE vt = VT_EMPTY;
    ASSERT_TRUE(payload);
    EXPECT_EQ(S_OK, SafeArrayGetVartype(payload.get(), &vt));
    EXPECT_EQ(VT_UI1, vt);
    const SAFEARRAY& bytes = *payload.get();
    ASSERT_EQ(1u, bytes.cDims);
    EXPECT_EQ(0, bytes.rgsabound[0].lLbound);
    EXPECT_EQ("\xC3\xA9", std::string(static_cast<const char*>(bytes.pvData), bytes.rgsabound[0].cElements));
    EXPECT_STREQ(L"T", type.get());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- blade messages ------------------------------------------------------------

const wchar_t kSendBladeMessage[] = L"TarnAdaptor::SendBladeMessage";

class BladeMessageCoreE2E : public ReportsTest {
protected:
    // Puts the type into the supported table the only way a blade can: by
    // sending a payload of that type.
    static void AddTableEntry(const wchar_t* type) {
        win::UniqueBstr response;
        ASSERT_EQ(TARNSTUB_OK, SendBladePayload(type, L"seed", response.put()));
    }

    static HRESULT Send(const BladeMessageRequest& request) {
        win::MtaScope mta;  // the adaptor's calls expect the caller's thread in the MTA
        BladeMessageResponse response;
        return Adaptor().SendBladeMessage(request, response);
    }

    static BladeMessageRequest Request(const wchar_t* type, const wchar_t* destination = L"INTERNAL") {
        BladeMessageRequest request(type);
        if (destination) request.SetDstIpDns(destination);
        request.SetReqData(L"body");
        return request;
    }

    // The cell text of row key in the last request table the server received.
    static std::wstring LastRequestRow(const std::wstring& key) {
        const auto lines = CallsStartingWith(L"SendBladeMessage(");
        const std::wstring last = lines.empty() ? L"" : lines.back(), marker = L"\"" + key + L"\",\"";
        const size_t start = last.find(marker) == std::wstring::npos ? last.size() : last.find(marker) + marker.size();
        return last.substr(start, last.find(L'"', start) - start);
    }
};

TEST_F(BladeMessageCoreE2E, TheTableIsCheckedBeforeTheDestinationAndOnlyTheServerIsOne) {
    InitializeConnected();
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(Request(L"T", L"server.example")));
    const std::wstring noTable = L"No blade supported messages were set";
    EXPECT_EQ((Texts{noTable}), TextsOf(kSendBladeMessage, L'E'));
    EXPECT_EQ((Texts{L"hr: 0x8058000e message: " + noTable}), AdaptorErrors());

    AddTableEntry(L"T");
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(Request(L"T", L"server.example")));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(Request(L"T", nullptr)));
    const std::wstring refused = L"Sending message through TARN to non-internal servers, is not supported";
    EXPECT_EQ((Texts{noTable, refused, refused}), TextsOf(kSendBladeMessage, L'E')) << LogDump();
    // The word in any case is the server.
    EXPECT_EQ(S_OK, Send(Request(L"T", L"InTeRnAl")));
    EXPECT_EQ(L"InTeRnAl", LastRequestRow(L"MSG_DST_IPDNS")) << CallDump();
    EXPECT_EQ(2u, TarnRef_CountCalls(L"SendBladeMessage"));  // the seed and the last
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, TypesAndAuthWordsAreMatchedExactly) {
    InitializeConnected();
    AddTableEntry(L"Type");
    EXPECT_EQ(static_cast<HRESULT>(0x8058000F), Send(Request(L"type")));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), Send(Request(L"")));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000F), Send(Request(L"50%s")));
    EXPECT_EQ((Texts{L"hr: 0x8058000f message: Requested message type: type, is not found in supported blade message",
                     L"hr: 0x8058000c message: Message type is empty",
                     L"hr: 0x8058000f message: Requested message type: 50%s, is not found in supported blade message"}),
              AdaptorErrors());
    EXPECT_EQ(1u, TarnRef_CountCalls(L"SendBladeMessage"));

    // An explicit auth type overrides the entry's "NONE" only as the known word; the entry stays.
    Texts authRows;
    for (const wchar_t* auth : {L"USER", L"user", L""}) {
        BladeMessageRequest request = Request(L"Type");
        if (*auth) request.SetAuthType(auth);
        EXPECT_EQ(S_OK, Send(request));
        authRows.push_back(LastRequestRow(L"MSG_AUTH_TYPE"));
    }
    EXPECT_EQ((Texts{L"USER", L"NONE", L"NONE"}), authRows) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
