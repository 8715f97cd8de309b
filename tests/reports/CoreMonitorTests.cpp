// What the monitor thread does for reports and payloads: the saved provider
// description sent after a (re)connection and retried on each tick until it
// went through, the blade message table shown at every connection, and a
// collected payload kept across the time without a server. The stub's code
// is linked in so that the monitor's period can be short.
#include <gtest/gtest.h>

#include "ReportsSupport.h"
#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"
#include "stub/ModuleState.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using reports_test::ReportsTest;
using tarn_test::kWaitMs;

constexpr DWORD kTickMs = 100;

class MonitorCoreE2E : public ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        adaptor_testing::SetMonitorPeriod(kTickMs);
    }

    // Lets the monitor run a few more ticks against a live server.
    static void WaitSomeTicks() {
        const ULONG seen = TarnRef_CountCalls(L"IsAlive");
        ASSERT_TRUE(TarnRef_WaitForCalls(L"IsAlive", seen + 3, kWaitMs)) << CallDump();
    }

    static size_t SucceededCalls(const std::wstring& operation) {
        size_t count = 0;
        for (const std::wstring& line : CallsStartingWith(operation + L"("))
            if (line.find(L") -> 0x") == std::wstring::npos) ++count;
        return count;
    }

    static ProviderInfoData Description(const wchar_t* name, const wchar_t* const* keys,
                                        const wchar_t* const* values) {
        ProviderInfoData data = {};
        data.name = name;
        data.propertyNames = keys;
        data.propertyValues = values;
        data.propertyCount = 1;
        return data;
    }
};

const wchar_t* const kKeys[] = {L"key"};
const wchar_t* const kSavedValues[] = {L"saved"};
const wchar_t* const kLaterValues[] = {L"later"};

TEST_F(MonitorCoreE2E, ADescriptionGivenWithoutAServerIsSentOnceItComesBack) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const ProviderInfoData saved = Description(L"prov", kKeys, kSavedValues);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&saved));
    // An invalid description afterwards is not saved over it.
    const ProviderInfoData invalid = Description(L"", kKeys, kLaterValues);
    EXPECT_EQ(TARNSTUB_PROVIDER_INFO_FAILED, CollectProviderInfo(&invalid));
    EXPECT_EQ(0u, TarnRef_CallCount()) << CallDump();

    RegisterServer();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", 1, kWaitMs)) << CallDump() << LogDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider"));
    const auto tables = CallsStartingWith(L"SetProperties(");
    ASSERT_EQ(1u, tables.size());
    EXPECT_NE(std::wstring::npos, tables[0].find(L"{VT_BSTR:\"prov\",VT_BSTR:\"key\",VT_BSTR:\"saved\",VT_UI4:0}"))
        << CallDump();
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&Module().adaptor.load()->BladeGuid()));
    // Sent completely: the monitor has nothing left to retry.
    WaitSomeTicks();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"SetProperties")) << CallDump();
    EXPECT_FALSE(LogHas(L"MonitorThread: Trying to send last saved provider info")) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, AFailedResendIsRetriedOnEveryTickUntilItGoesThrough) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const ProviderInfoData saved = Description(L"prov", kKeys, kSavedValues);
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
    // One success, then no more sends; the registration was never repeated.
    EXPECT_EQ(1u, SucceededCalls(L"SetProperties")) << CallDump();
    EXPECT_EQ(L"SetProperties", CallsStartingWith(L"SetProperties(").back().substr(0, 13));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    EXPECT_TRUE(LogHas(L"Send last provider info flag was set. Clearing it")) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, AfterTheServerRestartsTheLastDescriptionIsRegisteredAgain) {
    InitializeConnected();
    const ProviderInfoData first = Description(L"prov", kKeys, kSavedValues);
    const ProviderInfoData later = Description(L"prov", kKeys, kLaterValues);
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&first));
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&later));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider"));
    TarnRef_Restart();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"RegisterProvider", 2, kWaitMs)) << CallDump() << LogDump();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetProperties", 3, kWaitMs)) << CallDump();
    const auto tables = CallsStartingWith(L"SetProperties(");
    EXPECT_NE(std::wstring::npos, tables.back().find(L"VT_BSTR:\"later\"")) << CallDump();
    EXPECT_TRUE(TarnRef_IsProviderRegistered(&Module().adaptor.load()->BladeGuid()));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, EachPayloadTypeIsOneTableEntryShownAtTheNextConnection) {
    InitializeConnected();
    EXPECT_TRUE(LogHas(L"Blade: 12 did not set supported blade messages")) << LogDump();
    for (const wchar_t* type : {L"A", L"A", L"B", L"a", L"B"}) {
        BSTR response = nullptr;
        EXPECT_EQ(TARNSTUB_OK, SendBladePayload(type, L"d", &response));
        SysFreeString(response);
    }
    TarnRef_Restart();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 2, kWaitMs)) << CallDump() << LogDump();
    // Looked up case-sensitively; every type once, in the order first sent.
    EXPECT_TRUE(LogHas(L"Supported blade messages, blade: 12 messages: ( A, B, a )")) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, APayloadCollectedWithoutAServerWaitsForItsPull) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"waiting", L"early"));
    {
        win::MtaScope mta;
        // The trigger finds no connection; the payload replaces the earlier one.
        EXPECT_EQ(static_cast<HRESULT>(0x80580004),
                  Module().adaptor.load()->CollectPayload(L"waiting", L"kept for later"));
    }
    // Not being connected is not reported.
    EXPECT_TRUE(TextsOf(L"TarnAdaptor::TriggerPayloadPoll", L'E').empty()) << LogDump();
    EXPECT_TRUE(TextsOf(L"TarnAdaptor::CollectPayload", L'E').empty()) << LogDump();
    for (const std::wstring& error : AdaptorErrors())
        EXPECT_EQ(std::wstring::npos, error.find(L"Payload")) << error;
    RegisterServer();
    ASSERT_TRUE(TarnRef_WaitForCalls(L"Register", 1, kWaitMs)) << LogDump();
    const ULONG call = TarnRef_CallPullData(0);
    ASSERT_NE(0u, call);
    HRESULT hr = E_UNEXPECTED;
    ASSERT_TRUE(TarnRef_WaitCall(call, kWaitMs, &hr));
    EXPECT_EQ(S_OK, hr);
    wchar_t type[32] = {};
    wchar_t data[64] = {};
    ASSERT_TRUE(TarnRef_GetPulledPayload(call, type, 32, data, 64, nullptr));
    EXPECT_STREQ(L"waiting", type);
    EXPECT_STREQ(L"kept for later", data);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(MonitorCoreE2E, APulledPayloadIsItsUtf8BytesWithoutATerminator) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T", L"\u00e9"));
    SAFEARRAY* raw = nullptr;
    BSTR rawType = nullptr;
    ASSERT_EQ(S_OK, Module().adaptor.load()->GetPayload(&raw, &rawType));
    win::UniqueSafeArray payload(raw);
    win::UniqueBstr type(rawType);
    ASSERT_TRUE(payload);
    VARTYPE vt = VT_EMPTY;
    ASSERT_EQ(S_OK, SafeArrayGetVartype(payload.get(), &vt));
    EXPECT_EQ(VT_UI1, vt);
    EXPECT_EQ(1u, SafeArrayGetDim(payload.get()));
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(payload.get(), 1, &lower);
    SafeArrayGetUBound(payload.get(), 1, &upper);
    EXPECT_EQ(0, lower);
    ASSERT_EQ(1, upper);
    win::SafeArrayData bytes(payload.get());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(0xC3, bytes.as<BYTE>()[0]);
    EXPECT_EQ(0xA9, bytes.as<BYTE>()[1]);
    EXPECT_STREQ(L"T", type.get());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
