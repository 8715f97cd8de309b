#include <gtest/gtest.h>

#include "TableReading.h"
#include "records/BladeMessage.h"

namespace {

using namespace records_test;

BladeMessageSettings PayloadSettings(const std::wstring& type) {
    BladeMessageSettings settings;
    EXPECT_TRUE(settings.SetAll(type, L"HTTP", 80, L"NONE", L"DUMMY_PATH"));
    return settings;
}

// "type/protocol/port/auth/path" of a settings record.
std::wstring Fields(const BladeMessageSettings& s) {
    return s.GetMsgType() + L"/" + s.GetProtocol() + L"/" + std::to_wstring(s.GetPort()) + L"/" + s.GetAuthType() +
           L"/" + s.GetDstPath();
}

// "type/data/http code/ep code/ep text/header count" of a response.
std::wstring Fields(const BladeMessageResponse& r) {
    return r.GetMsgType() + L"/" + r.GetRespData() + L"/" + std::to_wstring(r.GetHttpCode()) + L"/" +
           std::to_wstring(r.GetEpRetCode()) + L"/" + r.GetEpRetStr() + L"/" +
           std::to_wstring(r.GetResponseHeaderCount());
}

win::UniqueSafeArray TableOf(const BladeMessageRequest& request, const BladeMessageSettings& settings) {
    BladeMessageRequestWithSettings message(settings.GetMsgType());
    message.FromRequest(request);
    message.SetSettings(settings);
    win::UniqueSafeArray table;
    EXPECT_EQ(S_OK, message.ToPropertyTable(table));
    return table;
}

TEST(BladeMessageSettingsTest, ValuesOutsideTheRulesAreRefusedAndCopyValidatedStartsAfresh) {
    BladeMessageSettings settings = PayloadSettings(L"T");
    EXPECT_FALSE(settings.SetProtocol(L"https"));
    EXPECT_FALSE(settings.SetAuthType(L"user"));
    EXPECT_FALSE(settings.SetPort(0));
    EXPECT_FALSE(settings.SetAll(L"U", L"http", 443, L"USER", L"/p"));
    EXPECT_FALSE(settings.SetAll(L"U", L"HTTPS", -1, L"USER", L"/p"));
    EXPECT_FALSE(settings.SetAll(L"", L"HTTPS", 443, L"USER", L"/p"));
    EXPECT_EQ(L"T/HTTP/80/NONE/DUMMY_PATH", Fields(settings));
    EXPECT_TRUE(settings.SetAll(L"U", L"HTTPS", 443, L"BOTH", L""));
    EXPECT_EQ(L"U/HTTPS/443/BOTH/", Fields(settings));

    BladeMessageSettings partial;  // port and protocol never accepted
    partial.SetMsgType(L"P");
    partial.SetAuthType(L"USER");
    settings.CopyValidated(partial);
    EXPECT_EQ(L"P//-1/USER/", Fields(settings));
    BladeMessageSettings full;
    full.CopyValidated(PayloadSettings(L"T"));
    EXPECT_EQ(L"T/HTTP/80/NONE/DUMMY_PATH", Fields(full));
}

TEST(BladeMessageRequestTest, InternalIsTheWordInternalInAnyCase) {
    BladeMessageRequest request(L"T");
    EXPECT_FALSE(request.IsInternal());  // empty destination
    EXPECT_FALSE(request.SetDstIpDns(L""));
    for (const wchar_t* dst :
         {L"INTERNAL", L"internal", L"InTeRnAl", L"INTERNAL ", L"127.0.0.1", L"internal.example"}) {
        ASSERT_TRUE(request.SetDstIpDns(dst));
        // Only the eight letters of the word, in any case.
        EXPECT_EQ(std::wstring(dst).size() == 8, request.IsInternal()) << dst;
    }
}

TEST(BladeMessageRequestTable, ElevenPropRowsThenTheHeadersInOrder) {
    BladeMessageRequest request(L"T1");
    request.SetReqData(L"payload");
    request.SetIsPayload(true);
    request.SetDstIpDns(L"internal");
    win::UniqueSafeArray table = TableOf(request, PayloadSettings(L"T1"));
    // Three columns varying fastest in storage: the server reads it so.
    EXPECT_EQ("vt8 [0..2] [0..10]", ShapeOf(table.get()));
    EXPECT_EQ(
        L"PROP,MSG_TYPE,T1|PROP,MSG_PROTOCOL,HTTP|PROP,MSG_AUTH_TYPE,NONE|PROP,MSG_PORT,80|"
        L"PROP,MSG_DST_PATH,DUMMY_PATH|PROP,MSG_DST_IPDNS,internal|PROP,MSG_REQ_DATA,payload|"
        L"PROP,MSG_REQ_TRANSFER_TIMEOUT,0|PROP,MSG_REQ_CONNECT_TIMEOUT,0|"
        L"PROP,MSG_REQ_IS_INTERNAL,YES|PROP,MSG_REQ_IS_PAYLOAD,YES",
        TableText(table.get()));
    // The caller can free the table: it is not left locked.
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(table.release()));

    request.SetDstIpDns(L"host.example");
    request.SetTransferTimeout(30);
    request.SetConnectTimeout(-5);
    request.AddRequestHeader(L"Accept", L"text/xml");
    request.AddRequestHeader(L"X-Id", L"7");
    request.AddResponseHeaderName(L"Server");
    BladeMessageSettings settings;  // nothing accepted: port -1, empty texts
    settings.SetMsgType(L"T1");
    table = TableOf(request, settings);
    EXPECT_EQ(
        L"PROP,MSG_TYPE,T1|PROP,MSG_PROTOCOL,|PROP,MSG_AUTH_TYPE,|PROP,MSG_PORT,-1|"
        L"PROP,MSG_DST_PATH,|PROP,MSG_DST_IPDNS,host.example|PROP,MSG_REQ_DATA,payload|"
        L"PROP,MSG_REQ_TRANSFER_TIMEOUT,30|PROP,MSG_REQ_CONNECT_TIMEOUT,-5|"
        L"PROP,MSG_REQ_IS_INTERNAL,NO|PROP,MSG_REQ_IS_PAYLOAD,YES|"
        L"HEADER_REQ,Accept,text/xml|HEADER_REQ,X-Id,7|HEADER_RESP,Server,",
        TableText(table.get()));
}

TEST(BladeMessageResponseTable, ReadsEveryPropertyAndHeaderFromTheFirstCellOn) {
    // An empty MSG_RESP_EP_RET_STR is skipped and the parse goes on; lower
    // bounds other than 0 are ignored.
    win::UniqueSafeArray table = MakeTextTable({{L"PROP", L"MSG_TYPE", L"T1"},
                                                {L"PROP", L"MSG_RESP_DATA", L"answer"},
                                                {L"PROP", L"MSG_RESP_HTTP_CODE", L"200"},
                                                {L"PROP", L"MSG_RESP_EP_RET_CODE", L" -3x"},
                                                {L"PROP", L"MSG_RESP_EP_RET_STR", L""},
                                                {L"HEADER_RESP", L"Server", L""},
                                                {L"HEADER_RESP", L"Server", L"two"}},
                                               1);
    BladeMessageResponse response;
    ASSERT_EQ(S_OK, response.FromPropertyTable(table.get()));
    EXPECT_EQ(L"T1/answer/200/-3//2", Fields(response));
    std::wstring name, value;
    ASSERT_TRUE(response.GetResponseHeaderAt(1, name, value));
    EXPECT_EQ(L"Server=two", name + L"=" + value);
    EXPECT_FALSE(response.GetResponseHeaderAt(2, name, value));
    EXPECT_EQ(L"=", name + L"=" + value);
    // The caller's array is only read: still intact and free to destroy.
    EXPECT_EQ(L"answer", Cell(table.get(), 3, 2));
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(table.release()));
}

TEST(BladeMessageResponseTable, MalformedTablesAreRefusedBeforeAnyRowIsRead) {
    BladeMessageResponse response;
    EXPECT_EQ(E_POINTER, response.FromPropertyTable(nullptr));
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(MakeTextTable({{L"PROP", L"MSG_TYPE", L"T", L"x"}}).get()));
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(win::UniqueSafeArray(::SafeArrayCreateVector(VT_BSTR, 0, 3)).get()));
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(MakeTextTable({}).get()));
    SAFEARRAYBOUND bounds[2] = {{3, 0}, {1, 0}};
    for (VARTYPE vt : {VT_VARIANT, VT_I4, VT_UNKNOWN}) {
        win::UniqueSafeArray other(::SafeArrayCreate(vt, 2, bounds));
        EXPECT_EQ(DISP_E_BADVARTYPE, response.FromPropertyTable(other.get())) << vt;
    }
    EXPECT_EQ(L"//-1/-1//0", Fields(response));
}

TEST(BladeMessageResponseTable, BadRowEndsTheParseKeepingEarlierRows) {
    const TextRow badRows[] = {{L"HEADER_REQ", L"Accept", L"x"}, {L"OTHER", L"k", L"v"},
                               {L"PROP", L"MSG_RESP_DATA", L""}, {L"PROP", L"MSG_RESP_HTTP_CODE", L""},
                               {L"PROP", L"MSG_PORT", L"80"},    {L"prop", L"MSG_RESP_DATA", L"d"},
                               {L"", L"MSG_RESP_DATA", L"d"},    {L"HEADER_RESP", L"", L"d"}};
    for (const TextRow& bad : badRows) {
        win::UniqueSafeArray table = MakeTextTable({{L"PROP", L"MSG_TYPE", L"T"},
                                                    {L"HEADER_RESP", L"Server", L"s"},
                                                    bad,
                                                    {L"PROP", L"MSG_RESP_HTTP_CODE", L"200"}});
        BladeMessageResponse response;
        EXPECT_EQ(E_FAIL, response.FromPropertyTable(table.get())) << bad[0] << L"," << bad[1];
        EXPECT_EQ(L"T//-1/-1//1", Fields(response)) << bad[0] << L"," << bad[1];
    }
}

}  // namespace
