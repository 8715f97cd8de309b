// Collected payloads and the server's pull, and payload responses pushed by
// the server to the blade's callback.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "ReportsSupport.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using reports_test::ReportsTest;

const wchar_t kCollectPayload[] = L"TarnAdaptor::CollectPayload";
const wchar_t kGetPayload[] = L"TarnAdaptor::GetPayload";

// What one PullData call of the server received.
struct Pulled {
    bool finished = false;
    HRESULT hr = E_UNEXPECTED;
    bool handedOver = false;
    std::wstring type;
    std::wstring data;
    VARTYPE elementType = VT_EMPTY;
};

Pulled WaitForPull(ULONG callId) {
    Pulled pulled;
    if (callId == 0) return pulled;
    pulled.finished = TarnRef_WaitCall(callId, 5000, &pulled.hr) != FALSE;
    wchar_t type[64] = {};
    wchar_t data[256] = {};
    pulled.handedOver = TarnRef_GetPulledPayload(callId, type, 64, data, 256, &pulled.elementType) != FALSE;
    pulled.type = type;
    pulled.data = data;
    return pulled;
}

Pulled Pull() { return WaitForPull(TarnRef_CallPullData(0)); }

class PayloadE2E : public ReportsTest {};

TEST_F(PayloadE2E, OnlyTheLastCollectedPayloadIsPulledAndOnlyOnce) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"first-type", L"first data"));
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"second-type", L"second data"));
    EXPECT_EQ(2u, TarnRef_PayloadPollCount());
    EXPECT_EQ(2u, CallsStartingWith(L"TriggerPayloadPoll(cookie=1)").size()) << CallDump();

    const Pulled pulled = Pull();
    ASSERT_TRUE(pulled.finished);
    EXPECT_EQ(S_OK, pulled.hr);
    ASSERT_TRUE(pulled.handedOver);
    EXPECT_EQ(L"second-type", pulled.type);
    EXPECT_EQ(L"second data", pulled.data);
    EXPECT_EQ(VT_UI1, pulled.elementType);

    // The pair is empty now: S_OK without a payload, and without a log line.
    const size_t linesBefore = EntriesOf(kGetPayload).size();
    const Pulled again = Pull();
    ASSERT_TRUE(again.finished);
    EXPECT_EQ(S_OK, again.hr);
    EXPECT_FALSE(again.handedOver);
    EXPECT_EQ(linesBefore, EntriesOf(kGetPayload).size()) << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"Called, payload exists", L"Payload returned, type: second-type"}),
              TextsOf(kGetPayload, L'V'));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, ATriggeredPullCarriesTheTextAsUtf8) {
    InitializeConnected();
    TarnRef_SetPullOnTrigger(TRUE);
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T", L"caf\u00e9 \u20ac"));
    const Pulled pulled = WaitForPull(TarnRef_LastPullCall());
    ASSERT_TRUE(pulled.finished);
    ASSERT_TRUE(pulled.handedOver);
    EXPECT_EQ(VT_UI1, pulled.elementType);
    // The server decodes the bytes as UTF-8; any other encoding of the two
    // non-ASCII characters would not come back as the same text.
    EXPECT_EQ(L"caf\u00e9 \u20ac", pulled.data);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, AnEmptyTypeOrTextIsRefusedAndKeepsTheEarlierPayload) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"kept", L"kept data"));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"", L"other"));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"other", nullptr));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"TriggerPayloadPoll"));
    const std::wstring refused = L"Payload type or data is empty. Not collecting payload";
    EXPECT_EQ((std::vector<std::wstring>{refused, refused}), TextsOf(kCollectPayload, L'E')) << LogDump();
    EXPECT_EQ(std::vector<std::wstring>(2, L"hr: 0x8058000c message: " + refused), AdaptorErrors());
    const Pulled pulled = Pull();
    ASSERT_TRUE(pulled.handedOver);
    EXPECT_EQ(L"kept", pulled.type);
    EXPECT_EQ(L"kept data", pulled.data);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, WithoutAServerThePayloadIsKeptQuietly) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"T", L"D"));
    // The missing connection is not a reported failure.
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"Called", L"Payload collected, type: T"}), TextsOf(kCollectPayload, L'V'));
    EXPECT_EQ((std::vector<std::wstring>{L"Called"}), TextsOf(L"TarnAdaptor::TriggerPayloadPoll", L'V'));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, AFailedTriggerLeavesThePayloadForALaterPull) {
    InitializeConnected();
    TarnRef_FailOperation(L"TriggerPayloadPoll", E_FAIL);
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"T", L"D"));
    EXPECT_EQ((std::vector<std::wstring>{L"TriggerPayloadPoll call failed, hr: 0x80004005"}),
              TextsOf(L"TarnAdaptor::TriggerPayloadPoll", L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: TriggerPayloadPoll call failed"}),
              AdaptorErrors());
    const Pulled pulled = Pull();
    ASSERT_TRUE(pulled.handedOver);
    EXPECT_EQ(L"T", pulled.type);
    EXPECT_EQ(L"D", pulled.data);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, ATextWithoutAUtf8FormIsNotHandedOutAndStaysInThePair) {
    InitializeConnected();
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0};  // an unpaired surrogate
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T", broken));
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Pulled pulled = Pull();
        ASSERT_TRUE(pulled.finished);
        EXPECT_EQ(E_FAIL, pulled.hr);
        EXPECT_FALSE(pulled.handedOver);
    }
    EXPECT_EQ(std::vector<std::wstring>(2, L"Failed to convert payload data to safearray. No payload returned"),
              TextsOf(kGetPayload, L'E'))
        << LogDump();
    // The pull's failure is the server's to handle; the peer hears nothing.
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    // A new payload replaces the broken one.
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T2", L"fine"));
    const Pulled pulled = Pull();
    ASSERT_TRUE(pulled.handedOver);
    EXPECT_EQ(L"fine", pulled.data);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- payload responses ---------------------------------------------------------

struct ResponseRecorder {
    std::mutex lock;
    std::wstring type;
    std::wstring payload;
    int calls = 0;
    win::UniqueHandle arrived{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
ResponseRecorder* g_recorder = nullptr;

void __cdecl OnPayloadResponse(BSTR payloadType, BSTR payload) {
    std::lock_guard<std::mutex> guard(g_recorder->lock);
    g_recorder->type.assign(payloadType, SysStringLen(payloadType));
    g_recorder->payload.assign(payload, SysStringLen(payload));
    ++g_recorder->calls;
    SetEvent(g_recorder->arrived.get());
}

class PayloadResponseE2E : public ReportsTest {
protected:
    void SetUp() override {
        ReportsTest::SetUp();
        g_recorder = &recorder_;
    }
    void TearDown() override {
        g_recorder = nullptr;
        ReportsTest::TearDown();
    }
    ResponseRecorder recorder_;
};

TEST_F(PayloadResponseE2E, DeclaredTypesAreRegisteredAndTheirResponsesReachTheBlade) {
    const wchar_t* types[] = {L"resp-a", L"resp-b"};
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(types, 2));
    InitializeConnected();
    ASSERT_EQ(TARNSTUB_OK, RegisterOnPayloadResponseNotificationCallback(&OnPayloadResponse));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"AddExpectedMessageTypes(cookie=1, messageTypes=VT_BSTR[lb=0]{\"resp-a\",\"resp-b\"})"}),
              CallsStartingWith(L"AddExpectedMessageTypes("))
        << CallDump();
    // Fixed once initialised.
    const wchar_t* other[] = {L"resp-c"};
    EXPECT_EQ(TARNSTUB_SETTING_AFTER_INIT, SetSupportedPayloadResponseTypes(other, 1));

    const char utf8[] = "caf\xC3\xA9";
    const ULONG call = TarnRef_CallPushData(0, utf8, sizeof(utf8) - 1, L"resp-b");
    ASSERT_NE(0u, call);
    HRESULT hr = E_UNEXPECTED;
    ASSERT_TRUE(TarnRef_WaitCall(call, 5000, &hr));
    EXPECT_EQ(S_OK, hr);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(recorder_.arrived.get(), 5000));
    std::lock_guard<std::mutex> guard(recorder_.lock);
    EXPECT_EQ(1, recorder_.calls);
    EXPECT_EQ(L"resp-b", recorder_.type);
    EXPECT_EQ(L"caf\u00e9", recorder_.payload);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadResponseE2E, RefusedDeclarationsRegisterNothing) {
    const wchar_t* types[] = {L"resp-a"};
    EXPECT_EQ(TARNSTUB_COUNT_BELOW_ONE, SetSupportedPayloadResponseTypes(types, 0));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SetSupportedPayloadResponseTypes(nullptr, 1));
    InitializeConnected();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"AddExpectedMessageTypes")) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
