// TarnAdaptor::SendBladeMessage called directly: the checks a blade payload
// never reaches (destinations other than the server, message types that the
// table does not hold, explicit authentication types, headers), and how the
// server's answer is read into the caller's response.
#include <gtest/gtest.h>

#include <algorithm>

#include "ReportsSupport.h"
#include "adaptor/TarnAdaptor.h"
#include "records/BladeMessage.h"
#include "stub/ModuleState.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using reports_test::ReportsTest;

const wchar_t kSendBladeMessage[] = L"TarnAdaptor::SendBladeMessage";

class BladeMessageCoreE2E : public ReportsTest {
protected:
    static TarnAdaptor& Adaptor() { return *Module().adaptor.load(); }

    // Puts the type into the supported table the only way a blade can: by
    // sending a payload of that type.
    static void AddTableEntry(const wchar_t* type) {
        BSTR response = nullptr;
        ASSERT_EQ(TARNSTUB_OK, SendBladePayload(type, L"seed", &response));
        SysFreeString(response);
    }

    static HRESULT Send(const BladeMessageRequest& request, BladeMessageResponse& response) {
        win::MtaScope mta;  // the adaptor's calls expect the caller's thread in the MTA
        return Adaptor().SendBladeMessage(request, response);
    }

    static BladeMessageRequest Internal(const wchar_t* type) {
        BladeMessageRequest request(type);
        request.SetDstIpDns(L"INTERNAL");
        request.SetReqData(L"body");
        return request;
    }

    // The cell text of row key in the last request table the server received.
    static std::wstring LastRequestRow(const std::wstring& key) {
        const auto lines = CallsStartingWith(L"SendBladeMessage(");
        if (lines.empty()) return L"<no request>";
        const std::wstring needle = L"\"" + key + L"\",\"";
        const size_t at = lines.back().find(needle);
        if (at == std::wstring::npos) return L"<no row>";
        const size_t start = at + needle.size();
        return lines.back().substr(start, lines.back().find(L'"', start) - start);
    }
};

TEST_F(BladeMessageCoreE2E, WithoutAServerNothingIsSaidAtAll) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    BladeMessageResponse response;
    EXPECT_EQ(static_cast<HRESULT>(0x80580004), Send(Internal(L"T"), response));
    EXPECT_TRUE(EntriesOf(kSendBladeMessage).empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, AnEmptyTableIsCheckedBeforeTheDestination) {
    InitializeConnected();
    BladeMessageRequest request(L"T");
    request.SetDstIpDns(L"server.example");
    BladeMessageResponse response;
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(request, response));
    EXPECT_EQ((std::vector<std::wstring>{L"No blade supported messages were set"}),
              TextsOf(kSendBladeMessage, L'E'));
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x8058000e message: No blade supported messages were set"}),
              AdaptorErrors());
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SendBladeMessage"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, OnlyTheServerItselfIsADestination) {
    InitializeConnected();
    AddTableEntry(L"T");
    const ULONG sent = TarnRef_CountCalls(L"SendBladeMessage");
    BladeMessageRequest outside(L"T");
    outside.SetDstIpDns(L"server.example");
    BladeMessageRequest nowhere(L"T");  // no destination at all
    BladeMessageResponse response;
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(outside, response));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000E), Send(nowhere, response));
    EXPECT_EQ(sent, TarnRef_CountCalls(L"SendBladeMessage"));
    const std::wstring refused = L"Sending message through TARN to non-internal servers, is not supported";
    EXPECT_EQ((std::vector<std::wstring>{refused, refused}), TextsOf(kSendBladeMessage, L'E')) << LogDump();
    // The word in any case is the server.
    BladeMessageRequest mixed(L"T");
    mixed.SetDstIpDns(L"InTeRnAl");
    EXPECT_EQ(S_OK, Send(mixed, response));
    EXPECT_EQ(L"InTeRnAl", LastRequestRow(L"MSG_DST_IPDNS")) << CallDump();
    EXPECT_EQ(L"YES", LastRequestRow(L"MSG_REQ_IS_INTERNAL"));
    EXPECT_EQ(L"NO", LastRequestRow(L"MSG_REQ_IS_PAYLOAD"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, TypesAreLookedUpExactly) {
    InitializeConnected();
    AddTableEntry(L"Type");
    BladeMessageResponse response;
    EXPECT_EQ(static_cast<HRESULT>(0x8058000F), Send(Internal(L"type"), response));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000C), Send(Internal(L""), response));
    EXPECT_EQ(static_cast<HRESULT>(0x8058000F), Send(Internal(L"50%s"), response));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"hr: 0x8058000f message: Requested message type: type, is not found in supported blade message",
                  L"hr: 0x8058000c message: Message type is empty",
                  L"hr: 0x8058000f message: Requested message type: 50%s, is not found in supported blade message"}),
              AdaptorErrors());
    EXPECT_EQ(1u, TarnRef_CountCalls(L"SendBladeMessage"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, AnExplicitAuthTypeOverridesOnlyWhenItIsAKnownWord) {
    InitializeConnected();
    AddTableEntry(L"T");
    EXPECT_EQ(L"NONE", LastRequestRow(L"MSG_AUTH_TYPE"));
    BladeMessageResponse response;
    BladeMessageRequest upper = Internal(L"T");
    upper.SetAuthType(L"USER");
    EXPECT_EQ(S_OK, Send(upper, response));
    EXPECT_EQ(L"USER", LastRequestRow(L"MSG_AUTH_TYPE")) << CallDump();
    BladeMessageRequest lower = Internal(L"T");
    lower.SetAuthType(L"user");
    EXPECT_EQ(S_OK, Send(lower, response));
    EXPECT_EQ(L"NONE", LastRequestRow(L"MSG_AUTH_TYPE")) << CallDump();
    const auto traces = TextsOf(kSendBladeMessage, L'V');
    EXPECT_EQ(1, std::count(traces.begin(), traces.end(),
                            L"Sending blade message, type: T. Explicit authType: USER, was set in request"));
    EXPECT_EQ(1, std::count(traces.begin(), traces.end(),
                            L"Sending blade message, type: T. Explicit authType: user, was set in request"));
    // The entry itself is unchanged for later messages.
    EXPECT_EQ(S_OK, Send(Internal(L"T"), response));
    EXPECT_EQ(L"NONE", LastRequestRow(L"MSG_AUTH_TYPE"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, HeadersTravelAfterThePropertiesAndComeBackInTheResponse) {
    InitializeConnected();
    AddTableEntry(L"T");
    BladeMessageRequest request = Internal(L"T");
    request.SetTransferTimeout(30);
    request.SetConnectTimeout(-1);
    request.AddRequestHeader(L"X-One", L"1");
    request.AddRequestHeader(L"X-One", L"again");
    request.AddResponseHeaderName(L"X-Back");
    BladeMessageResponse response;
    EXPECT_EQ(S_OK, Send(request, response));
    const auto lines = CallsStartingWith(L"SendBladeMessage(");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(std::wstring::npos,
              lines.back().find(L"VT_BSTR[3x14,lb=0,0]{{\"PROP\",\"MSG_TYPE\",\"T\"}"))
        << CallDump();
    EXPECT_NE(std::wstring::npos,
              lines.back().find(L"{\"PROP\",\"MSG_REQ_TRANSFER_TIMEOUT\",\"30\"},"
                                L"{\"PROP\",\"MSG_REQ_CONNECT_TIMEOUT\",\"-1\"},"
                                L"{\"PROP\",\"MSG_REQ_IS_INTERNAL\",\"YES\"},"
                                L"{\"PROP\",\"MSG_REQ_IS_PAYLOAD\",\"NO\"},"
                                L"{\"HEADER_REQ\",\"X-One\",\"1\"},{\"HEADER_REQ\",\"X-One\",\"again\"},"
                                L"{\"HEADER_RESP\",\"X-Back\",\"\"}})"))
        << CallDump();
    // The reference server's echo.
    EXPECT_EQ(L"T", response.GetMsgType());
    EXPECT_EQ(L"body", response.GetRespData());
    EXPECT_EQ(200, response.GetHttpCode());
    EXPECT_EQ(0, response.GetEpRetCode());
    EXPECT_EQ(L"OK", response.GetEpRetStr());
    ASSERT_EQ(1u, response.GetResponseHeaderCount());
    std::wstring name, value;
    EXPECT_TRUE(response.GetResponseHeaderAt(0, name, value));
    EXPECT_EQ(L"X-Back", name);
    EXPECT_EQ(L"echo", value);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(BladeMessageCoreE2E, AMalformedAnswerKeepsWhatWasReadAndTheServersCode) {
    InitializeConnected();
    AddTableEntry(L"T");
    TarnRef_SetResult(L"SendBladeMessage", S_FALSE);
    const wchar_t* cells[] = {L"PROP", L"MSG_RESP_HTTP_CODE", L" 404x",   //
                              L"HEADER_RESP", L"X-Seen", L"",             //
                              L"HEADER_REQ", L"X-Request", L"in a reply",  //
                              L"PROP", L"MSG_RESP_EP_RET_CODE", L"7"};
    TarnRef_SetBladeMessageResponseRows(cells, 4);
    BladeMessageResponse response;
    EXPECT_EQ(S_FALSE, Send(Internal(L"T"), response));
    EXPECT_EQ(404, response.GetHttpCode());
    EXPECT_EQ(-1, response.GetEpRetCode());
    EXPECT_EQ(1u, response.GetResponseHeaderCount());
    EXPECT_TRUE(LogHas(L"Received response from: INTERNAL, for message: . SendBladeMessage exit code: 0x00000001"))
        << LogDump();
    // No table at all.
    TarnRef_SetBladeMessageResponse(nullptr);
    BladeMessageResponse none;
    EXPECT_EQ(S_FALSE, Send(Internal(L"T"), none));
    EXPECT_EQ(-1, none.GetHttpCode());
    EXPECT_EQ(-1, none.GetEpRetCode());
    EXPECT_TRUE(none.GetRespData().empty());
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
