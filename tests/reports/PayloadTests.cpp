// Collected payloads and the server's pull, payload responses pushed by the
// server to the blade's callback, and blade payloads sent as blade messages to
// the server itself.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "ReportsSupport.h"
#include "win/SafeArrayView.h"

namespace {

using reports_test::BstrSlot;
using reports_test::Pull;
using reports_test::ReportsTest;
using reports_test::Texts;

const wchar_t kCollectPayload[] = L"TarnAdaptor::CollectPayload";
const wchar_t kGetPayload[] = L"TarnAdaptor::GetPayload";
const wchar_t kSendBladeMessage[] = L"TarnAdaptor::SendBladeMessage";
const wchar_t kSendBladePayload[] = L"TarnAdaptor::SendBladePayload";

class PayloadE2E : public ReportsTest {};

TEST_F(PayloadE2E, OnlyTheLastValidPayloadIsPulledAndOnlyOnce) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"first-type", L"first data"));
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"second-type", L"second data"));
    // Refused, and the earlier payload stays.
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"", L"other"));
    EXPECT_EQ(TARNSTUB_PAYLOAD_FAILED, CollectPayload(L"other", nullptr));
    EXPECT_EQ(2u, CallsStartingWith(L"TriggerPayloadPoll(cookie=1)").size()) << CallDump();
    const std::wstring refused = L"Payload type or data is empty. Not collecting payload";
    EXPECT_EQ(Texts(2, refused), TextsOf(kCollectPayload, L'E')) << LogDump();
    EXPECT_EQ(Texts(2, L"hr: 0x8058000c message: " + refused), AdaptorErrors());

    EXPECT_EQ(L"0x00000000 VT_UI1 second-type: second data", Pull());
    // The pair is empty now: S_OK without a payload, and without a log line.
    const size_t linesBefore = tarn_test::EntriesOf(LogLines(), kGetPayload).size();
    EXPECT_EQ(L"0x00000000 none", Pull());
    EXPECT_EQ(linesBefore, tarn_test::EntriesOf(LogLines(), kGetPayload).size()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(PayloadE2E, ATextWithoutAUtf8FormIsNotHandedOutAndStaysInThePair) {
    InitializeConnected();
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0};  // an unpaired surrogate
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T", broken));
    EXPECT_EQ(L"0x80004005 none", Pull());
    EXPECT_EQ(L"0x80004005 none", Pull());
    EXPECT_EQ(Texts(2, L"Failed to convert payload data to safearray. No payload returned"), TextsOf(kGetPayload, L'E'))
        << LogDump();
    // The pull's failure is the server's to handle; the peer hears nothing.
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    // A new payload replaces the broken one.
    EXPECT_EQ(TARNSTUB_OK, CollectPayload(L"T2", L"fine"));
    EXPECT_EQ(L"0x00000000 VT_UI1 T2: fine", Pull());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// A server may pull inside its TriggerPayloadPoll, before it answers, or
// later from a thread of its own. Either way the pull arrives on an RPC
// thread of this process, CollectPayload returns, and the payload reaches
// the server exactly once.
TEST_F(PayloadE2E, APullInsideOrAfterTheTriggerGetsThePayloadOnceAndCollectPayloadReturns) {
    InitializeConnected();
    const struct {
        const char* name;
        void(__cdecl* pullOnTrigger)(BOOL);
        bool insideTrigger;
    } orders[] = {{"pull inside the trigger", TarnRef_SetSyncPullOnTrigger, true},
                  {"pull after the trigger", TarnRef_SetPullOnTrigger, false}};
    for (const auto& order : orders) {
        SCOPED_TRACE(order.name);
        order.pullOnTrigger(TRUE);
        const ULONG earlierPull = TarnRef_LastPullCall();
        const DWORD code = tarn_test::FinishesWithin("CollectPayload", [] { return CollectPayload(L"T", L"once"); });
        EXPECT_EQ(TARNSTUB_OK, code) << LogDump();
        const ULONG pull = TarnRef_LastPullCall();
        ASSERT_NE(earlierPull, pull) << CallDump();
        EXPECT_EQ(L"0x00000000 VT_UI1 T: once", reports_test::PullResult(pull));
        order.pullOnTrigger(FALSE);
        EXPECT_EQ(L"0x00000000 none", Pull());
        if (!order.insideTrigger) continue;
        // The pull ran beside the request worker that waited in the trigger.
        const auto lines = LogLines();
        const auto collected = tarn_test::EntriesOf(lines, kCollectPayload);
        const auto handedOut = tarn_test::EntriesOf(lines, kGetPayload);
        ASSERT_FALSE(collected.empty() || handedOut.empty()) << LogDump();
        EXPECT_NE(collected.back().thread, handedOut.back().thread) << LogDump();
        EXPECT_NE(GetCurrentThreadId(), handedOut.back().thread);
    }
    EXPECT_EQ(2u, TarnRef_PayloadPollCount());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- payload responses ---------------------------------------------------------

// What the blade's callback received, one "type: payload" per call.
std::mutex g_responsesLock;
Texts g_responses;

void __cdecl OnPayloadResponse(BSTR payloadType, BSTR payload) {
    std::lock_guard<std::mutex> guard(g_responsesLock);
    g_responses.push_back(std::wstring(payloadType, SysStringLen(payloadType)) + L": " +
                          std::wstring(payload, SysStringLen(payload)));
}

TEST_F(PayloadE2E, DeclaredResponseTypesAreRegisteredAndTheirResponsesReachTheBlade) {
    const wchar_t* types[] = {L"resp-a", L"resp-b"};
    EXPECT_EQ(TARNSTUB_COUNT_BELOW_ONE, SetSupportedPayloadResponseTypes(types, 0));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SetSupportedPayloadResponseTypes(nullptr, 1));
    ASSERT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(types, 2));
    InitializeConnected();
    ASSERT_EQ(TARNSTUB_OK, RegisterOnPayloadResponseNotificationCallback(&OnPayloadResponse));
    EXPECT_EQ((Texts{L"AddExpectedMessageTypes(cookie=1, messageTypes=VT_BSTR[lb=0]{\"resp-a\",\"resp-b\"})"}),
              CallsStartingWith(L"AddExpectedMessageTypes("))
        << CallDump();
    // Fixed once initialised.
    EXPECT_EQ(TARNSTUB_SETTING_AFTER_INIT, SetSupportedPayloadResponseTypes(types, 1));

    const char utf8[] = "caf\xC3\xA9";
    const ULONG call = TarnRef_CallPushData(0, utf8, sizeof(utf8) - 1, L"resp-b");
    HRESULT hr = E_UNEXPECTED;
    ASSERT_TRUE(call != 0 && TarnRef_WaitCall(call, tarn_test::kWaitMs, &hr));
    EXPECT_EQ(S_OK, hr);
    // Delivered on a thread of its own.
    const auto delivered = [] {
        std::lock_guard<std::mutex> guard(g_responsesLock);
        return !g_responses.empty();
    };
    ASSERT_TRUE(tarn_test::WaitUntil(delivered));
    std::lock_guard<std::mutex> guard(g_responsesLock);
    EXPECT_EQ((Texts{L"resp-b: caf\u00e9"}), g_responses);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- blade payloads --------------------------------------------------------------

class BladePayloadE2E : public ReportsTest {
protected:
    // Sends a payload and returns the response text the blade received.
    static std::wstring Send(const wchar_t* type, const wchar_t* data, DWORD expected = TARNSTUB_OK) {
        win::UniqueBstr response;
        EXPECT_EQ(expected, SendBladePayload(type, data, response.put()));
        EXPECT_NE(nullptr, response.get());
        return response.get() ? std::wstring(response.get(), response.length()) : L"<null>";
    }

    // Sends after making the server answer with an array of the given element
    // type and bounds whose first cells hold a row that a parser misreading
    // the shape would take as the answer.
    static std::wstring SendAnsweredWith(VARTYPE type, std::vector<SAFEARRAYBOUND> bounds) {
        win::UniqueSafeArray table(SafeArrayCreate(type, static_cast<UINT>(bounds.size()), bounds.data()));
        const wchar_t* texts[] = {L"PROP", L"MSG_RESP_DATA", L"misread", L"PROP"};
        const win::SafeArrayView view(table.get());
        if (const auto cells = view.Lock<VT_BSTR>()) {
            for (size_t i = 0; i < cells.size() && i < 4; ++i) cells[i] = SysAllocString(texts[i]);
        }
        if (const auto cells = view.Lock<VT_VARIANT>()) {
            for (size_t i = 0; i < cells.size() && i < 4; ++i) {
                cells[i].vt = VT_BSTR;
                cells[i].bstrVal = SysAllocString(texts[i]);
            }
        }
        TarnRef_SetBladeMessageResponse(table.get());
        return Send(L"T", L"d");
    }
};

TEST_F(BladePayloadE2E, ThePayloadTravelsAsTheElevenPropertyRows) {
    InitializeConnected();
    EXPECT_EQ(L"the data", Send(L"pay-type", L"the data"));
    EXPECT_EQ((Texts{L"SendBladeMessage(request=VT_BSTR[3x11,lb=0,0]{{\"PROP\",\"MSG_TYPE\",\"pay-type\"},"
                     L"{\"PROP\",\"MSG_PROTOCOL\",\"HTTP\"},{\"PROP\",\"MSG_AUTH_TYPE\",\"NONE\"},"
                     L"{\"PROP\",\"MSG_PORT\",\"80\"},{\"PROP\",\"MSG_DST_PATH\",\"DUMMY_PATH\"},"
                     L"{\"PROP\",\"MSG_DST_IPDNS\",\"INTERNAL\"},{\"PROP\",\"MSG_REQ_DATA\",\"the data\"},"
                     L"{\"PROP\",\"MSG_REQ_TRANSFER_TIMEOUT\",\"0\"},{\"PROP\",\"MSG_REQ_CONNECT_TIMEOUT\",\"0\"},"
                     L"{\"PROP\",\"MSG_REQ_IS_INTERNAL\",\"YES\"},{\"PROP\",\"MSG_REQ_IS_PAYLOAD\",\"YES\"}})"}),
              CallsStartingWith(L"SendBladeMessage("))
        << CallDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, MalformedAnswersKeepWhatWasReadAndNeverCrash) {
    InitializeConnected();
    EXPECT_EQ(L"", SendAnsweredWith(VT_BSTR, {{4, 0}, {1, 0}}));  // four columns
    EXPECT_EQ(L"", SendAnsweredWith(VT_BSTR, {{3, 0}}));          // one dimension
    EXPECT_EQ(L"", SendAnsweredWith(VT_BSTR, {{3, 0}, {0, 0}}));  // no rows
    EXPECT_EQ(L"", SendAnsweredWith(VT_I4, {{3, 0}, {1, 0}}));    // not texts
    EXPECT_EQ(L"", SendAnsweredWith(VT_VARIANT, {{3, 0}, {1, 0}}));
    TarnRef_SetBladeMessageResponse(nullptr);
    EXPECT_EQ(L"", Send(L"T", L"d"));
    // The response's type stays empty in the trace.
    EXPECT_EQ(6u, CountLogLines(L"Received response from: INTERNAL, for message: . SendBladeMessage exit code: "
                                L"0x00000000"))
        << LogDump();
    // A request header row in a response ends the parse; what came before it is kept.
    const wchar_t* cells[] = {L"PROP",       L"MSG_TYPE", L"answer-type", L"PROP", L"MSG_RESP_DATA", L"partial",
                              L"HEADER_REQ", L"X-Never",  L"in a reply",  L"PROP", L"MSG_RESP_DATA", L"not reached"};
    TarnRef_SetBladeMessageResponseRows(cells, 4);
    EXPECT_EQ(L"partial", Send(L"T", L"d"));
    EXPECT_TRUE(
        LogHas(L"Received response from: INTERNAL, for message: answer-type. SendBladeMessage exit code: "
               L"0x00000000"))
        << LogDump();
    EXPECT_EQ(7u, TarnRef_CountCalls(L"SendBladeMessage"));
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// Refused and failed sends hand over an empty text. The type is printed
// literally, percent signs and all.
TEST_F(BladePayloadE2E, RefusedAndFailedSendsHandOverAnEmptyText) {
    InitializeConnected();
    EXPECT_EQ(L"", Send(L"", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    EXPECT_EQ(L"", Send(L"t", L"", TARNSTUB_BLADE_PAYLOAD_FAILED));
    BstrSlot slot;
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(nullptr, L"d", slot.Out()));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(L"t", nullptr, slot.Out()));
    EXPECT_TRUE(slot.Untouched());
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SendBladeMessage")) << CallDump();
    TarnRef_FailOperation(L"SendBladeMessage", E_FAIL);
    EXPECT_EQ(L"", Send(L"100%s%d", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    EXPECT_EQ((Texts{L"SendBladeMessage failed. Message Type: 100%s%d, hr: 0x80004005"}),
              TextsOf(kSendBladeMessage, L'E'))
        << LogDump();
    const std::wstring empty = L"Payload type or data is empty. Not sending blade payload";
    EXPECT_EQ((Texts{empty, empty, L"SendBladePayload failed. Payload Type: 100%s%d, hr: 0x80580005"}),
              TextsOf(kSendBladePayload, L'E'))
        << LogDump();
    const std::wstring emptyReport = L"hr: 0x8058000c message: Payload type or data is empty. Not sending payload";
    EXPECT_EQ((Texts{emptyReport, emptyReport,
                     L"hr: 0x80580005 message: SendBladeMessage failed. Message Type: 100%s%d, hr: 0x80004005",
                     L"hr: 0x80580015 message: SendBladePayload failed. Payload Type: 100%s%d, hr: 0x80580005"}),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
