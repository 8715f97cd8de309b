// Reports to the server as the blade makes them and as the server receives
// them: incidents through IKestrel, log records through the log queue, the
// provider description (one registration per connection, properties and XML
// chunks in one table, notification messages in another), and downloads and
// the CA fingerprint through the extra interfaces the stub looks up for every
// request.
#include <gtest/gtest.h>

#include "ReportsSupport.h"

namespace {

using reports_test::BstrSlot;
using reports_test::ReportsTest;
using reports_test::Texts;

class IncidentE2E : public ReportsTest {};
class LogRecordE2E : public ReportsTest {};

const wchar_t kReportIncident[] = L"TarnAdaptor::ReportIncident";
const wchar_t kCollectLog[] = L"TarnAdaptor::CollectLog";

TEST_F(IncidentE2E, TheNineValuesReachTheServerUnchangedAndASuccessCodeIsSuccess) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK,
              ReportIncident(L"inc-7", 0xFFFFFFFEu, L"say \"hi\"", L"two", L"tab\there", -5, 0x80000000u, 7u, L"last"));
    TarnRef_SetResult(L"ReportIncident", 1);
    EXPECT_EQ(TARNSTUB_OK, ReportIncident(nullptr, 1, L"", nullptr, L"c", 0, 0, 0, nullptr));
    // Missing and empty texts travel as empty BSTRs, never null ones: the record would show null.
    EXPECT_EQ((Texts{L"ReportIncident(incidentId=\"inc-7\", incidentType=4294967294, detail1=\"say \\\"hi\\\"\", "
                     L"detail2=\"two\", detail3=\"tab\\there\", value1=-5, value2=2147483648, value3=7, "
                     L"detail4=\"last\")",
                     L"ReportIncident(incidentId=\"\", incidentType=1, detail1=\"\", detail2=\"\", detail3=\"c\", "
                     L"value1=0, value2=0, value3=0, detail4=\"\")"}),
              CallsStartingWith(L"ReportIncident("))
        << CallDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, AServerWithoutIKestrelIsRefusedSilently) {
    InitializeConnected();
    TarnRef_EnableInterface(TARNREF_IFACE_KESTREL, FALSE);
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"i", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ((Texts{L"Called", L"No IKestrel Interface exist"}), TextsOf(kReportIncident, L'V')) << LogDump();
    // No level-1 line at all, so no OnAdaptorError report either.
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"ReportIncident"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// Without a server nothing is reported: the connection is checked first.
TEST_F(IncidentE2E, WithoutAServerIncidentsAndRecordsFailQuietly) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"i", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ((Texts{L"Called", L"No TARNInstance exits yet"}), TextsOf(kReportIncident, L'V')) << LogDump();
    EXPECT_EQ(2u, tarn_test::EntriesOf(LogLines(), kReportIncident).size()) << LogDump();
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(nullptr, 10));
    EXPECT_EQ((Texts{L"Called"}), TextsOf(kCollectLog, L'V'));
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, EachRecordGoesVerbatimThroughAQueueOfItsOwn) {
    InitializeConnected();
    const BYTE one[] = {0x7F};
    const BYTE withZeros[] = {0x00, 0xFF, 0x41, 0x00};
    EXPECT_EQ(TARNSTUB_OK, CollectLog(one, 1));
    EXPECT_EQ(TARNSTUB_OK, CollectLog(withZeros, sizeof(withZeros)));
    // Queue, record, commit for each; one byte is a one-element array, zero bytes stay in.
    EXPECT_EQ((Texts{L"LOG_CreateLogQueue()", L"LOG_CreateLogRecord(queue=1, record=VT_UI1[lb=0]{7F})",
                     L"LOG_CommitLogQueue(queue=1)", L"LOG_CreateLogQueue()",
                     L"LOG_CreateLogRecord(queue=2, record=VT_UI1[lb=0]{00FF4100})", L"LOG_CommitLogQueue(queue=2)"}),
              CallsStartingWith(L"LOG_"))
        << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, NoRecordOrNoSizeIsReportedAndASuccessCodeForTheRecordIsAFailure) {
    InitializeConnected();
    const BYTE record[] = {1, 2, 3};
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(nullptr, 10));
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, 0));
    EXPECT_TRUE(CallsStartingWith(L"LOG_").empty()) << CallDump();

    // A success code other than S_OK for the record is a failure: nothing is committed.
    TarnRef_SetResult(L"LOG_CreateLogRecord", 1);
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, sizeof(record)));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"LOG_CreateLogRecord"));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"LOG_CommitLogQueue")) << CallDump();
    const std::wstring invalid = L"Function called with invalid parameter";
    EXPECT_EQ((Texts{invalid, invalid, L"LOG_CreateLogRecord call failed, hr: 0x00000001"}), TextsOf(kCollectLog, L'E'))
        << LogDump();
    EXPECT_EQ((Texts{L"hr: 0x8058000c message: " + invalid, L"hr: 0x8058000c message: " + invalid,
                     L"hr: 0x80580005 message: LOG_CreateLogRecord call failed"}),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- provider info -------------------------------------------------------------

class ProviderInfoE2E : public ReportsTest {};

const wchar_t* const kNames[] = {L"p0", L"p1"};
const wchar_t* const kValues[] = {L"v0", L"v1"};
const wchar_t* const kLaterValues[] = {L"w0", L"w1"};
const wchar_t* const kChunkNames[] = {L"x0", L"x1", L"x2"};
const wchar_t* const kChunkValues[] = {L"<a/>", L"<b/>", L"<c/>"};
const wchar_t* const kMessages[] = {L"m0", L"m1"};

TEST_F(ProviderInfoE2E, PropertiesChunksAndNotificationsAreSentUnderOneRegistration) {
    InitializeConnected();
    ProviderInfoData data = {L"prov", kNames, kValues, 2, kChunkNames, kChunkValues, 3, nullptr, 0};
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    data.propertyValues = kLaterValues;
    data.xmlChunkCount = 0;
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&data));
    const auto registrations = CallsStartingWith(L"RegisterProvider(bladeGuid=");
    ASSERT_EQ(1u, registrations.size()) << CallDump();
    const std::wstring guid = registrations[0].substr(27, 36);
    EXPECT_EQ((Texts{L"SetProperties(bladeGuid=" + guid +
                         L", table=VT_VARIANT[4x5,lb=0,0]{"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"p0\",VT_BSTR:\"v0\",VT_UI4:0},"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"p1\",VT_BSTR:\"v1\",VT_UI4:0},"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"x0\",VT_BSTR:\"<a/>\",VT_UI4:1},"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"x1\",VT_BSTR:\"<b/>\",VT_UI4:1},"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"x2\",VT_BSTR:\"<c/>\",VT_UI4:1}})",
                     L"SetProperties(bladeGuid=" + guid +
                         L", table=VT_VARIANT[4x2,lb=0,0]{"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"p0\",VT_BSTR:\"w0\",VT_UI4:0},"
                         L"{VT_BSTR:\"prov\",VT_BSTR:\"p1\",VT_BSTR:\"w1\",VT_UI4:0}})"}),
              CallsStartingWith(L"SetProperties("))
        << CallDump();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"SetNotification"));
    // Only notifications (negative counts are none): no property table.
    const ProviderInfoData messages = {L"prov", nullptr, nullptr, -3, nullptr, nullptr, 0, kMessages, 2};
    EXPECT_EQ(TARNSTUB_OK, CollectProviderInfo(&messages));
    EXPECT_EQ(2u, TarnRef_CountCalls(L"SetProperties")) << CallDump();
    // Later descriptions on the same connection are not registered again.
    EXPECT_EQ(1u, TarnRef_CountCalls(L"RegisterProvider")) << CallDump();
    EXPECT_EQ((Texts{L"SetNotification(bladeGuid=" + guid +
                     L", table=VT_BSTR[2x2,lb=0,0]{{\"prov\",\"m0\"},{\"prov\",\"m1\"}})"}),
              CallsStartingWith(L"SetNotification("))
        << CallDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- downloads and the CA fingerprint ---------------------------------------------

class TransferE2E : public ReportsTest {};

TEST_F(TransferE2E, TheServersNameReachesTheBladeAndAMissingInterfaceFailsQuietly) {
    InitializeConnected();
    BstrSlot name, chosen;
    EXPECT_EQ(TARNSTUB_OK, DownloadFile(L"http://host/file.bin", name.Out()));
    EXPECT_EQ(L"NoFname", name.Text());
    TarnRef_SetDownloadFileName(L"C:\\cache\\chosen name.bin");
    TarnRef_SetResult(L"DownloadFile", S_FALSE);
    EXPECT_EQ(TARNSTUB_OK, DownloadFile(nullptr, chosen.Out()));
    EXPECT_EQ(L"C:\\cache\\chosen name.bin", chosen.Text());
    // A missing URL is sent as an empty text.
    EXPECT_EQ((Texts{L"DownloadFile(url=\"http://host/file.bin\", fileName=\"NoFname\")",
                     L"DownloadFile(url=\"\", fileName=\"NoFname\")"}),
              CallsStartingWith(L"DownloadFile("))
        << CallDump();
    // Without the interface the request fails quietly. The server's proxy
    // in this process remembers an interface it was once given, so only a
    // new server object (a new connection) goes without it.
    TarnRef_EnableInterface(TARNREF_IFACE_DOWNLOAD, FALSE);
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const size_t errorsBefore = ErrorLineCount();
    BstrSlot kept;
    EXPECT_EQ(TARNSTUB_DOWNLOAD_FAILED, DownloadFile(L"http://host/x", kept.Out()));
    EXPECT_TRUE(kept.Untouched());
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ(2u, TarnRef_CountCalls(L"DownloadFile"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, TheFingerprintGivesBothTextsAndAFailureLeavesBothSlots) {
    InitializeConnected();
    TarnRef_SetCaCertFingerPrint(L"AB:CD:EF", nullptr);
    BstrSlot first, second;
    EXPECT_EQ(TARNSTUB_OK, GetCaCertFingerPrint(first.Out(), second.Out()));
    EXPECT_EQ(L"AB:CD:EF", first.Text());
    EXPECT_EQ(L"", second.Text());
    // The server receives two empty texts to fill.
    EXPECT_EQ((Texts{L"GetCaCertFingerPrint(caCertFP=\"\", caCertFPEng=\"\")"}),
              CallsStartingWith(L"GetCaCertFingerPrint("))
        << CallDump();

    TarnRef_FailOperation(L"GetCaCertFingerPrint", E_FAIL);
    BstrSlot kept1, kept2;
    EXPECT_EQ(TARNSTUB_CA_FINGERPRINT_FAILED, GetCaCertFingerPrint(kept1.Out(), kept2.Out()));
    EXPECT_TRUE(kept1.Untouched() && kept2.Untouched());
    EXPECT_EQ((Texts{L"GetCaCertFingerPrint call failed, hr: 0x80004005"}),
              TextsOf(L"TarnAdaptor::GetCaCertFingerPrint", L'E'))
        << LogDump();
    EXPECT_EQ((Texts{L"hr: 0x80580005 message: GetCaCertFingerPrint call failed"}), AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
