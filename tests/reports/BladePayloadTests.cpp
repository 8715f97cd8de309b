// Blade payloads sent as blade messages to the server itself: the request
// table the server receives, and what the blade gets back from well-formed,
// partial and malformed response tables.
#include <gtest/gtest.h>

#include <string>

#include "ReportsSupport.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using reports_test::BstrSlot;
using reports_test::ReportsTest;

const wchar_t kSendBladePayload[] = L"TarnAdaptor::SendBladePayload";

class BladePayloadE2E : public ReportsTest {
protected:
    // Sends a payload and returns the response text the blade received.
    std::wstring Send(const wchar_t* type, const wchar_t* data, DWORD expected = TARNSTUB_OK) {
        BSTR response = nullptr;
        EXPECT_EQ(expected, SendBladePayload(type, data, &response));
        EXPECT_NE(nullptr, response);
        std::wstring text = response ? std::wstring(response, SysStringLen(response)) : L"<null>";
        SysFreeString(response);
        return text;
    }

    // Makes the server answer with rows (section, key, value) given cell by cell.
    static void Answer(std::initializer_list<const wchar_t*> cells) {
        std::vector<const wchar_t*> list(cells);
        TarnRef_SetBladeMessageResponseRows(list.data(), static_cast<ULONG>(list.size() / 3));
    }

    // Makes the server answer with an array of the given element type and
    // bounds (first dimension first) whose cells, in storage order, hold a
    // row that a parser misreading the shape would take as the answer.
    static void AnswerShape(VARTYPE type, std::vector<SAFEARRAYBOUND> bounds) {
        win::UniqueSafeArray table(SafeArrayCreate(type, static_cast<UINT>(bounds.size()), bounds.data()));
        ASSERT_TRUE(table);
        const wchar_t* texts[] = {L"PROP", L"MSG_RESP_DATA", L"misread", L"PROP"};
        ULONG cells = 1;
        for (const SAFEARRAYBOUND& bound : bounds) cells *= bound.cElements;
        win::SafeArrayData data(table.get());
        for (ULONG i = 0; data && i < cells && i < 4; ++i) {
            if (type == VT_BSTR) {
                data.as<BSTR>()[i] = SysAllocString(texts[i]);
            } else if (type == VT_VARIANT) {
                VARIANT& cell = data.as<VARIANT>()[i];
                cell.vt = VT_BSTR;
                cell.bstrVal = SysAllocString(texts[i]);
            }
        }
        TarnRef_SetBladeMessageResponse(table.get());
    }
};

TEST_F(BladePayloadE2E, ThePayloadTravelsAsTheElevenPropertyRows) {
    InitializeConnected();
    EXPECT_EQ(L"the data", Send(L"pay-type", L"the data"));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"SendBladeMessage(request=VT_BSTR[3x11,lb=0,0]{"
                  L"{\"PROP\",\"MSG_TYPE\",\"pay-type\"},"
                  L"{\"PROP\",\"MSG_PROTOCOL\",\"HTTP\"},"
                  L"{\"PROP\",\"MSG_AUTH_TYPE\",\"NONE\"},"
                  L"{\"PROP\",\"MSG_PORT\",\"80\"},"
                  L"{\"PROP\",\"MSG_DST_PATH\",\"DUMMY_PATH\"},"
                  L"{\"PROP\",\"MSG_DST_IPDNS\",\"INTERNAL\"},"
                  L"{\"PROP\",\"MSG_REQ_DATA\",\"the data\"},"
                  L"{\"PROP\",\"MSG_REQ_TRANSFER_TIMEOUT\",\"0\"},"
                  L"{\"PROP\",\"MSG_REQ_CONNECT_TIMEOUT\",\"0\"},"
                  L"{\"PROP\",\"MSG_REQ_IS_INTERNAL\",\"YES\"},"
                  L"{\"PROP\",\"MSG_REQ_IS_PAYLOAD\",\"YES\"}})"}),
              CallsStartingWith(L"SendBladeMessage("))
        << CallDump();
    const auto traces = TextsOf(L"TarnAdaptor::SendBladeMessage", L'V');
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Sending blade message, type: pay-type",
                  L"Received response from: INTERNAL, for message: pay-type. SendBladeMessage exit code: 0x00000000"}),
              traces)
        << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, MalformedResponseTablesGiveAnEmptyResponse) {
    InitializeConnected();
    // Four columns, one dimension, no rows, not texts, no array at all.
    AnswerShape(VT_BSTR, {{4, 0}, {1, 0}});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    AnswerShape(VT_BSTR, {{3, 0}});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    AnswerShape(VT_BSTR, {{3, 0}, {0, 0}});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    AnswerShape(VT_I4, {{3, 0}, {1, 0}});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    AnswerShape(VT_VARIANT, {{3, 0}, {1, 0}});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    TarnRef_SetBladeMessageResponse(nullptr);
    EXPECT_EQ(L"", Send(L"T", L"d"));
    EXPECT_EQ(6u, TarnRef_CountCalls(L"SendBladeMessage"));
    // The response's type stays empty in the trace.
    EXPECT_EQ(6u, CountLogLines(L"Received response from: INTERNAL, for message: . SendBladeMessage exit code: "
                                L"0x00000000"))
        << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, RowsReadBeforeAMalformedRowAreKept) {
    InitializeConnected();
    Answer({L"PROP", L"MSG_TYPE", L"answer-type",       //
            L"PROP", L"MSG_RESP_DATA", L"partial",      //
            L"HEADER_REQ", L"X-Never", L"in a reply",   //
            L"PROP", L"MSG_RESP_DATA", L"not reached"});
    EXPECT_EQ(L"partial", Send(L"T", L"d"));
    EXPECT_TRUE(LogHas(L"Received response from: INTERNAL, for message: answer-type. SendBladeMessage exit code: "
                       L"0x00000000"))
        << LogDump();
    // Response headers first, then an unknown section.
    Answer({L"HEADER_RESP", L"X-Head", L"v",  //
            L"OTHER", L"k", L"v",             //
            L"PROP", L"MSG_RESP_DATA", L"not reached"});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    // An empty value of the response text ends the parse.
    Answer({L"PROP", L"MSG_RESP_EP_RET_STR", L"",  //
            L"PROP", L"MSG_RESP_DATA", L"",          //
            L"PROP", L"MSG_TYPE", L"not reached"});
    EXPECT_EQ(L"", Send(L"T", L"d"));
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, AFailedSendHandsOverAnEmptyTextAndTellsThePeerTwice) {
    InitializeConnected();
    TarnRef_FailOperation(L"SendBladeMessage", E_FAIL);
    EXPECT_EQ(L"", Send(L"pt", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    EXPECT_EQ((std::vector<std::wstring>{L"SendBladeMessage failed. Message Type: pt, hr: 0x80004005"}),
              TextsOf(L"TarnAdaptor::SendBladeMessage", L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"SendBladePayload failed. Payload Type: pt, hr: 0x80580005"}),
              TextsOf(kSendBladePayload, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{
                  L"hr: 0x80580005 message: SendBladeMessage failed. Message Type: pt, hr: 0x80004005",
                  L"hr: 0x80580015 message: SendBladePayload failed. Payload Type: pt, hr: 0x80580005"}),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, WithoutAServerTheSendFailsWithTheConnectionCode) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    EXPECT_EQ(L"", Send(L"pt", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    // The blade message itself reports nothing without a connection.
    EXPECT_TRUE(TextsOf(L"TarnAdaptor::SendBladeMessage", L'E').empty()) << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"SendBladePayload failed. Payload Type: pt, hr: 0x80580004"}),
              TextsOf(kSendBladePayload, L'E'))
        << LogDump();
    const auto errors = AdaptorErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(L"hr: 0x80580015 message: SendBladePayload failed. Payload Type: pt, hr: 0x80580004", errors.back());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, EmptyTextsAndMissingPointersAreRefused) {
    InitializeConnected();
    EXPECT_EQ(L"", Send(L"", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    EXPECT_EQ(L"", Send(L"t", L"", TARNSTUB_BLADE_PAYLOAD_FAILED));
    BstrSlot slot;
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(nullptr, L"d", slot.Out()));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(L"t", nullptr, slot.Out()));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SendBladePayload(L"t", L"d", nullptr));
    EXPECT_TRUE(slot.Untouched());
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SendBladeMessage")) << CallDump();
    EXPECT_EQ(std::vector<std::wstring>(2, L"Payload type or data is empty. Not sending blade payload"),
              TextsOf(kSendBladePayload, L'E'))
        << LogDump();
    EXPECT_EQ(std::vector<std::wstring>(2, L"hr: 0x8058000c message: Payload type or data is empty. Not sending payload"),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladePayloadE2E, APercentSignInTheTypeIsPrintedLiterally) {
    InitializeConnected();
    TarnRef_FailOperation(L"SendBladeMessage", E_FAIL);
    EXPECT_EQ(L"", Send(L"100%s%d", L"d", TARNSTUB_BLADE_PAYLOAD_FAILED));
    EXPECT_EQ((std::vector<std::wstring>{L"SendBladePayload failed. Payload Type: 100%s%d, hr: 0x80580005"}),
              TextsOf(kSendBladePayload, L'E'))
        << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
