#include <gtest/gtest.h>

#include "TableReading.h"
#include "records/BladeMessage.h"

namespace {

using records_test::MakeTextTable;
using records_test::ReadTextTable;
using records_test::TextRow;

BladeMessageSettings PayloadSettings(const std::wstring& type) {
    BladeMessageSettings settings;
    EXPECT_TRUE(settings.SetAll(type, L"HTTP", 80, L"NONE", L"DUMMY_PATH"));
    return settings;
}

std::vector<TextRow> TableOf(const BladeMessageRequest& request,
                             const BladeMessageSettings& settings) {
    BladeMessageRequestWithSettings message(settings.GetMsgType());
    message.FromRequest(request);
    message.SetSettings(settings);
    win::UniqueSafeArray table;
    EXPECT_EQ(S_OK, message.ToPropertyTable(table));
    return table ? ReadTextTable(table.get()) : std::vector<TextRow>();
}

// Settings ------------------------------------------------------------------

TEST(BladeMessageSettingsTest, SettersRefuseValuesOutsideTheirRules) {
    BladeMessageSettings settings = PayloadSettings(L"T");
    EXPECT_FALSE(settings.SetMsgType(L""));
    EXPECT_FALSE(settings.SetProtocol(L"https"));
    EXPECT_FALSE(settings.SetProtocol(L"FTP"));
    EXPECT_FALSE(settings.SetAuthType(L"user"));
    EXPECT_FALSE(settings.SetPort(0));
    EXPECT_FALSE(settings.SetPort(-80));
    EXPECT_EQ(L"T", settings.GetMsgType());
    EXPECT_EQ(L"HTTP", settings.GetProtocol());
    EXPECT_EQ(L"NONE", settings.GetAuthType());
    EXPECT_EQ(80, settings.GetPort());

    EXPECT_TRUE(settings.SetProtocol(L"HTTPS"));
    EXPECT_TRUE(settings.SetAuthType(L"DEVICE"));
    EXPECT_TRUE(settings.SetPort(1));
    EXPECT_TRUE(settings.SetDstPath(L""));
    EXPECT_EQ(L"HTTPS", settings.GetProtocol());
    EXPECT_EQ(L"DEVICE", settings.GetAuthType());
    EXPECT_EQ(1, settings.GetPort());
    EXPECT_EQ(L"", settings.GetDstPath());
}

TEST(BladeMessageSettingsTest, SetAllStoresAllFiveOrNothing) {
    BladeMessageSettings settings = PayloadSettings(L"T");
    EXPECT_FALSE(settings.SetAll(L"U", L"http", 443, L"USER", L"/p"));
    EXPECT_FALSE(settings.SetAll(L"U", L"HTTPS", 0, L"USER", L"/p"));
    EXPECT_FALSE(settings.SetAll(L"", L"HTTPS", 443, L"USER", L"/p"));
    EXPECT_FALSE(settings.SetAll(L"U", L"HTTPS", 443, L"ANY", L"/p"));
    EXPECT_EQ(L"T", settings.GetMsgType());
    EXPECT_EQ(L"HTTP", settings.GetProtocol());
    EXPECT_EQ(80, settings.GetPort());
    EXPECT_EQ(L"NONE", settings.GetAuthType());
    EXPECT_EQ(L"DUMMY_PATH", settings.GetDstPath());

    EXPECT_TRUE(settings.SetAll(L"U", L"HTTPS", 443, L"BOTH", L""));
    EXPECT_EQ(L"U", settings.GetMsgType());
    EXPECT_EQ(L"HTTPS", settings.GetProtocol());
    EXPECT_EQ(443, settings.GetPort());
    EXPECT_EQ(L"BOTH", settings.GetAuthType());
    EXPECT_EQ(L"", settings.GetDstPath());
}

TEST(BladeMessageSettingsTest, CopyValidatedStartsAfreshAndTakesValidFields) {
    BladeMessageSettings partial;  // port and protocol never accepted
    partial.SetMsgType(L"P");
    partial.SetAuthType(L"USER");

    BladeMessageSettings target = PayloadSettings(L"T");
    target.CopyValidated(partial);
    EXPECT_EQ(L"P", target.GetMsgType());
    EXPECT_EQ(L"USER", target.GetAuthType());
    EXPECT_EQ(L"", target.GetProtocol());
    EXPECT_EQ(L"", target.GetDstPath());
    EXPECT_EQ(-1, target.GetPort());

    BladeMessageSettings full;
    full.CopyValidated(PayloadSettings(L"T"));
    EXPECT_EQ(80, full.GetPort());
    EXPECT_EQ(L"DUMMY_PATH", full.GetDstPath());
}

// Requests ------------------------------------------------------------------

TEST(BladeMessageRequestTest, InternalIsTheWordInternalInAnyCase) {
    BladeMessageRequest request(L"T");
    EXPECT_FALSE(request.IsInternal());  // empty destination
    for (const wchar_t* word : {L"INTERNAL", L"internal", L"InTeRnAl"}) {
        ASSERT_TRUE(request.SetDstIpDns(word));
        EXPECT_TRUE(request.IsInternal()) << word;
    }
    for (const wchar_t* other : {L"INTERNAL ", L"internal.example", L"127.0.0.1"}) {
        ASSERT_TRUE(request.SetDstIpDns(other));
        EXPECT_FALSE(request.IsInternal()) << other;
    }
    EXPECT_FALSE(request.SetDstIpDns(L""));
    EXPECT_EQ(L"127.0.0.1", request.GetDstIpDns());
}

TEST(BladeMessageRequestTest, HeaderAccessGivesEmptyTextsPastTheEnd) {
    BladeMessageRequest request(L"T");
    request.AddRequestHeader(L"A", L"1");
    request.AddRequestHeader(L"A", L"2");
    std::wstring name = L"stale";
    std::wstring value = L"stale";
    ASSERT_TRUE(request.GetRequestHeaderAt(1, name, value));
    EXPECT_EQ(L"A", name);
    EXPECT_EQ(L"2", value);
    EXPECT_FALSE(request.GetRequestHeaderAt(2, name, value));
    EXPECT_EQ(L"", name);
    EXPECT_EQ(L"", value);
}

// Request tables --------------------------------------------------------------

TEST(BladeMessageRequestTable, PayloadRequestGivesElevenPropRowsInOrder) {
    BladeMessageRequest request(L"T1");
    request.SetReqData(L"payload");
    request.SetIsPayload(true);
    request.SetDstIpDns(L"internal");
    const std::vector<TextRow> expected = {
        {L"PROP", L"MSG_TYPE", L"T1"},
        {L"PROP", L"MSG_PROTOCOL", L"HTTP"},
        {L"PROP", L"MSG_AUTH_TYPE", L"NONE"},
        {L"PROP", L"MSG_PORT", L"80"},
        {L"PROP", L"MSG_DST_PATH", L"DUMMY_PATH"},
        {L"PROP", L"MSG_DST_IPDNS", L"internal"},
        {L"PROP", L"MSG_REQ_DATA", L"payload"},
        {L"PROP", L"MSG_REQ_TRANSFER_TIMEOUT", L"0"},
        {L"PROP", L"MSG_REQ_CONNECT_TIMEOUT", L"0"},
        {L"PROP", L"MSG_REQ_IS_INTERNAL", L"YES"},
        {L"PROP", L"MSG_REQ_IS_PAYLOAD", L"YES"},
    };
    EXPECT_EQ(expected, TableOf(request, PayloadSettings(L"T1")));
}

TEST(BladeMessageRequestTable, HeadersFollowThePropRows) {
    BladeMessageRequest request(L"T1");
    request.SetDstIpDns(L"host.example");
    request.SetTransferTimeout(30);
    request.SetConnectTimeout(-5);
    request.AddRequestHeader(L"Accept", L"text/xml");
    request.AddRequestHeader(L"X-Id", L"7");
    request.AddResponseHeaderName(L"Server");
    BladeMessageSettings settings;  // nothing accepted: port -1, empty texts
    settings.SetMsgType(L"T1");

    const std::vector<TextRow> rows = TableOf(request, settings);
    ASSERT_EQ(14u, rows.size());
    EXPECT_EQ((TextRow{L"PROP", L"MSG_PORT", L"-1"}), rows[3]);
    EXPECT_EQ((TextRow{L"PROP", L"MSG_DST_PATH", L""}), rows[4]);
    EXPECT_EQ((TextRow{L"PROP", L"MSG_REQ_TRANSFER_TIMEOUT", L"30"}), rows[7]);
    EXPECT_EQ((TextRow{L"PROP", L"MSG_REQ_CONNECT_TIMEOUT", L"-5"}), rows[8]);
    EXPECT_EQ((TextRow{L"PROP", L"MSG_REQ_IS_INTERNAL", L"NO"}), rows[9]);
    EXPECT_EQ((TextRow{L"PROP", L"MSG_REQ_IS_PAYLOAD", L"NO"}), rows[10]);
    EXPECT_EQ((TextRow{L"HEADER_REQ", L"Accept", L"text/xml"}), rows[11]);
    EXPECT_EQ((TextRow{L"HEADER_REQ", L"X-Id", L"7"}), rows[12]);
    EXPECT_EQ((TextRow{L"HEADER_RESP", L"Server", L""}), rows[13]);
}

TEST(BladeMessageRequestTable, ShapeIsThreeColumnsWithTheColumnVaryingFastest) {
    BladeMessageRequestWithSettings message(L"T1");
    message.SetSettings(PayloadSettings(L"T1"));
    win::UniqueSafeArray table;
    ASSERT_EQ(S_OK, message.ToPropertyTable(table));
    VARTYPE vt = VT_EMPTY;
    ASSERT_HRESULT_SUCCEEDED(::SafeArrayGetVartype(table.get(), &vt));
    EXPECT_EQ(VT_BSTR, vt);
    const records_test::Dimensions d = records_test::DimensionsOf(table.get());
    EXPECT_EQ(2u, d.count);
    EXPECT_EQ(0, d.firstLower);
    EXPECT_EQ(2, d.firstUpper);
    EXPECT_EQ(0, d.secondLower);
    EXPECT_EQ(10, d.secondUpper);
    {
        win::SafeArrayData data(table.get());
        ASSERT_TRUE(data);
        const BSTR* cells = data.as<BSTR>();
        EXPECT_STREQ(L"PROP", cells[0]);
        EXPECT_STREQ(L"MSG_TYPE", cells[1]);
        EXPECT_STREQ(L"T1", cells[2]);
        EXPECT_STREQ(L"MSG_PROTOCOL", cells[4]);
    }
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(table.release()));
}

TEST(BladeMessageRequestTable, RefusesAnOutTableThatAlreadyHoldsAnArray) {
    BladeMessageRequestWithSettings message(L"T1");
    win::UniqueSafeArray table = MakeTextTable({{L"keep", L"me", L"here"}});
    SAFEARRAY* const before = table.get();
    EXPECT_EQ(E_FAIL, message.ToPropertyTable(table));
    EXPECT_EQ(before, table.get());
    EXPECT_EQ((std::vector<TextRow>{{L"keep", L"me", L"here"}}), ReadTextTable(table.get()));
}

// Response tables -------------------------------------------------------------

void ExpectUntouched(const BladeMessageResponse& response) {
    EXPECT_EQ(L"", response.GetMsgType());
    EXPECT_EQ(L"", response.GetRespData());
    EXPECT_EQ(-1, response.GetHttpCode());
    EXPECT_EQ(-1, response.GetEpRetCode());
    EXPECT_EQ(L"", response.GetEpRetStr());
    EXPECT_EQ(0u, response.GetResponseHeaderCount());
}

TEST(BladeMessageResponseTable, ReadsEveryPropertyAndHeader) {
    win::UniqueSafeArray table = MakeTextTable({
        {L"PROP", L"MSG_TYPE", L"T1"},
        {L"PROP", L"MSG_RESP_DATA", L"answer"},
        {L"PROP", L"MSG_RESP_HTTP_CODE", L"200"},
        {L"PROP", L"MSG_RESP_EP_RET_CODE", L" -3x"},
        {L"PROP", L"MSG_RESP_EP_RET_STR", L""},  // skipped, the parse goes on
        {L"HEADER_RESP", L"Server", L""},
        {L"HEADER_RESP", L"Server", L"two"},
    });
    BladeMessageResponse response;
    ASSERT_EQ(S_OK, response.FromPropertyTable(table.get()));
    EXPECT_EQ(L"T1", response.GetMsgType());
    EXPECT_EQ(L"answer", response.GetRespData());
    EXPECT_EQ(200, response.GetHttpCode());
    EXPECT_EQ(-3, response.GetEpRetCode());
    EXPECT_EQ(L"", response.GetEpRetStr());
    ASSERT_EQ(2u, response.GetResponseHeaderCount());
    std::wstring name, value;
    ASSERT_TRUE(response.GetResponseHeaderAt(1, name, value));
    EXPECT_EQ(L"Server", name);
    EXPECT_EQ(L"two", value);
    EXPECT_FALSE(response.GetResponseHeaderAt(2, name, value));
    EXPECT_EQ(L"", name);

    // The caller's array is only read: still intact and free to destroy.
    EXPECT_EQ(L"answer", records_test::ReadBstrCell(table.get(), 2, 1));
    EXPECT_HRESULT_SUCCEEDED(::SafeArrayDestroy(table.release()));
}

TEST(BladeMessageResponseTable, MalformedShapesAreRefusedBeforeAnyRowIsRead) {
    BladeMessageResponse response;

    SAFEARRAYBOUND fourColumns[2] = {{4, 0}, {1, 0}};
    win::UniqueSafeArray wide(::SafeArrayCreate(VT_BSTR, 2, fourColumns));
    LONG index[2] = {1, 0};
    win::UniqueBstr key = win::UniqueBstr::Copy(L"MSG_TYPE");
    ::SafeArrayPutElement(wide.get(), index, key.get());
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(wide.get()));

    win::UniqueSafeArray flat(::SafeArrayCreateVector(VT_BSTR, 0, 3));
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(flat.get()));

    win::UniqueSafeArray noRows = MakeTextTable({});
    EXPECT_EQ(E_FAIL, response.FromPropertyTable(noRows.get()));

    ExpectUntouched(response);
}

TEST(BladeMessageResponseTable, ArraysOfOtherElementsOrNoArrayAreRefused) {
    BladeMessageResponse response;
    EXPECT_TRUE(FAILED(response.FromPropertyTable(nullptr)));

    SAFEARRAYBOUND bounds[2] = {{3, 0}, {1, 0}};
    for (VARTYPE vt : {VT_VARIANT, VT_I4, VT_UI1, VT_UNKNOWN}) {
        win::UniqueSafeArray other(::SafeArrayCreate(vt, 2, bounds));
        ASSERT_TRUE(other) << vt;
        EXPECT_TRUE(FAILED(response.FromPropertyTable(other.get()))) << vt;
    }
    ExpectUntouched(response);
}

TEST(BladeMessageResponseTable, BadRowEndsTheParseKeepingEarlierRows) {
    struct Case {
        std::vector<TextRow> rows;
        size_t headersKept;
        const wchar_t* msgTypeKept;
    };
    const Case cases[] = {
        {{{L"HEADER_RESP", L"Server", L"s"}, {L"OTHER", L"k", L"v"}}, 1, L""},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"HEADER_REQ", L"Accept", L"x"}}, 0, L"T"},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"PROP", L"MSG_RESP_DATA", L""}}, 0, L"T"},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"PROP", L"MSG_PORT", L"80"}}, 0, L"T"},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"prop", L"MSG_RESP_DATA", L"d"}}, 0, L"T"},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"", L"MSG_RESP_DATA", L"d"}}, 0, L"T"},
        {{{L"PROP", L"MSG_TYPE", L"T"}, {L"HEADER_RESP", L"", L"d"}}, 0, L"T"},
        {{{L"PROP", L"MSG_RESP_HTTP_CODE", L""}}, 0, L""},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        win::UniqueSafeArray table = MakeTextTable(cases[i].rows);
        BladeMessageResponse response;
        EXPECT_EQ(E_FAIL, response.FromPropertyTable(table.get())) << i;
        EXPECT_EQ(cases[i].headersKept, response.GetResponseHeaderCount()) << i;
        EXPECT_EQ(cases[i].msgTypeKept, response.GetMsgType()) << i;
        EXPECT_EQ(L"", response.GetRespData()) << i;
        EXPECT_EQ(-1, response.GetHttpCode()) << i;
    }
}

TEST(BladeMessageResponseTable, OtherLowerBoundsAreReadFromTheFirstCell) {
    win::UniqueSafeArray table = MakeTextTable(
        {{L"PROP", L"MSG_TYPE", L"T"}, {L"PROP", L"MSG_RESP_HTTP_CODE", L"404"}}, 1);
    BladeMessageResponse response;
    ASSERT_EQ(S_OK, response.FromPropertyTable(table.get()));
    EXPECT_EQ(L"T", response.GetMsgType());
    EXPECT_EQ(404, response.GetHttpCode());
}

TEST(BladeMessageResponseTable, CopyIntoAppendsHeadersAndReplacesFields) {
    win::UniqueSafeArray first = MakeTextTable({{L"HEADER_RESP", L"A", L"1"}});
    win::UniqueSafeArray second =
        MakeTextTable({{L"PROP", L"MSG_RESP_DATA", L"d"}, {L"HEADER_RESP", L"B", L"2"}});
    BladeMessageResponse target;
    ASSERT_EQ(S_OK, target.FromPropertyTable(first.get()));
    BladeMessageResponse source;
    ASSERT_EQ(S_OK, source.FromPropertyTable(second.get()));
    source.CopyInto(target);
    EXPECT_EQ(L"d", target.GetRespData());
    ASSERT_EQ(2u, target.GetResponseHeaderCount());
    std::wstring name, value;
    target.GetResponseHeaderAt(1, name, value);
    EXPECT_EQ(L"B", name);
}

}  // namespace
