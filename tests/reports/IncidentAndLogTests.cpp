// Incident reports through IKestrel and log records through the server's log
// queue, as the blade calls them and as the server receives them.
#include <gtest/gtest.h>

#include <algorithm>

#include "ReportsSupport.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using reports_test::ReportsTest;

class IncidentE2E : public ReportsTest {};
class LogRecordE2E : public ReportsTest {};

const wchar_t kReportIncident[] = L"TarnAdaptor::ReportIncident";
const wchar_t kCollectLog[] = L"TarnAdaptor::CollectLog";

// ---- incidents ---------------------------------------------------------------

TEST_F(IncidentE2E, TheNineValuesReachTheServerUnchanged) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, ReportIncident(L"inc-7", 0xFFFFFFFEu, L"say \"hi\"", L"two", L"tab\there", -5,
                                          0x80000000u, 7u, L"last"));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"ReportIncident(incidentId=\"inc-7\", incidentType=4294967294, detail1=\"say \\\"hi\\\"\", "
                  L"detail2=\"two\", detail3=\"tab\\there\", value1=-5, value2=2147483648, value3=7, "
                  L"detail4=\"last\")"}),
              CallsStartingWith(L"ReportIncident("))
        << CallDump();
    // The type is logged as a signed number.
    const auto traces = TextsOf(kReportIncident, L'V');
    EXPECT_NE(traces.end(), std::find(traces.begin(), traces.end(),
                                      L"ReportIncident will be called. IncidentID: inc-7 IncidentType: -2"))
        << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, MissingAndEmptyTextsTravelAsEmptyStrings) {
    InitializeConnected();
    EXPECT_EQ(TARNSTUB_OK, ReportIncident(nullptr, 1, L"", nullptr, L"c", 0, 0, 0, nullptr));
    // Empty BSTRs, never null ones: the record would show null.
    EXPECT_EQ((std::vector<std::wstring>{
                  L"ReportIncident(incidentId=\"\", incidentType=1, detail1=\"\", detail2=\"\", detail3=\"c\", "
                  L"value1=0, value2=0, value3=0, detail4=\"\")"}),
              CallsStartingWith(L"ReportIncident("))
        << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, WithoutAServerOnlyTheTwoTraceLinesAreWritten) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"i", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    const auto lines = EntriesOf(kReportIncident);
    ASSERT_EQ(2u, lines.size()) << LogDump();
    EXPECT_EQ(L'V', lines[0].level);
    EXPECT_EQ(L"Called", lines[0].text);
    EXPECT_EQ(L'V', lines[1].level);
    EXPECT_EQ(L"No TARNInstance exits yet", lines[1].text);
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"ReportIncident"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, AServerWithoutIKestrelIsRefusedSilently) {
    InitializeConnected();
    TarnRef_EnableInterface(TARNREF_IFACE_KESTREL, FALSE);
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"i", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ((std::vector<std::wstring>{L"Called", L"No IKestrel Interface exist"}),
              TextsOf(kReportIncident, L'V'))
        << LogDump();
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(0u, TarnRef_CountCalls(L"ReportIncident"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, ASuccessCodeOfTheServerIsSuccess) {
    InitializeConnected();
    TarnRef_SetResult(L"ReportIncident", 1);
    EXPECT_EQ(TARNSTUB_OK, ReportIncident(L"i", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    TarnRef_SetResult(L"ReportIncident", S_FALSE);
    EXPECT_EQ(TARNSTUB_OK, ReportIncident(L"j", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ(2u, TarnRef_CountCalls(L"ReportIncident"));
    EXPECT_TRUE(AdaptorErrors().empty()) << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(IncidentE2E, AFailedReportIsLoggedAndToldToThePeer) {
    InitializeConnected();
    TarnRef_FailOperation(L"ReportIncident", E_ACCESSDENIED);
    EXPECT_EQ(TARNSTUB_INCIDENT_FAILED, ReportIncident(L"inc-9", 2, L"a", L"b", L"c", 1, 2, 3, L"d"));
    EXPECT_EQ((std::vector<std::wstring>{L"ReportIncident call failed, hr: 0x80070005, IncidentID: inc-9"}),
              TextsOf(kReportIncident, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: ReportIncident call failed"}), AdaptorErrors());
    // Not queued: once the server answers again nothing is sent on its own.
    TarnRef_FailOperation(L"ReportIncident", 0);
    EXPECT_EQ(1u, TarnRef_CountCalls(L"ReportIncident"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, TarnRef_CountCalls(L"ReportIncident"));
}

// ---- log records -------------------------------------------------------------

TEST_F(LogRecordE2E, ARecordOfOneByteTravelsAsAOneElementArray) {
    InitializeConnected();
    const BYTE record[] = {0x7F};
    EXPECT_EQ(TARNSTUB_OK, CollectLog(record, 1));
    const auto creates = CallsStartingWith(L"LOG_CreateLogRecord(");
    ASSERT_EQ(1u, creates.size()) << CallDump();
    EXPECT_NE(std::wstring::npos, creates[0].find(L", record=VT_UI1[lb=0]{7F})")) << CallDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"LOG_CreateLogQueue"));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"LOG_CommitLogQueue"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, EachRecordGoesVerbatimThroughAQueueOfItsOwn) {
    InitializeConnected();
    const BYTE first[] = {0x00, 0xFF, 0x41, 0x00};
    const BYTE second[] = {0x10, 0x20};
    EXPECT_EQ(TARNSTUB_OK, CollectLog(first, sizeof(first)));
    EXPECT_EQ(TARNSTUB_OK, CollectLog(second, sizeof(second)));
    const auto calls = Calls();
    std::vector<std::wstring> logCalls;
    for (const auto& line : calls)
        if (line.compare(0, 4, L"LOG_") == 0) logCalls.push_back(line);
    ASSERT_EQ(6u, logCalls.size()) << CallDump();
    // Queue, record, commit, in that order, each pair on the queue just opened.
    EXPECT_EQ(L"LOG_CreateLogQueue()", logCalls[0]);
    const std::wstring queue1 = logCalls[1].substr(logCalls[1].find(L"queue="), logCalls[1].find(L',') - logCalls[1].find(L"queue="));
    EXPECT_EQ(L"LOG_CreateLogRecord(" + queue1 + L", record=VT_UI1[lb=0]{00FF4100})", logCalls[1]);
    EXPECT_EQ(L"LOG_CommitLogQueue(" + queue1 + L")", logCalls[2]);
    EXPECT_EQ(L"LOG_CreateLogQueue()", logCalls[3]);
    const std::wstring queue2 = logCalls[4].substr(logCalls[4].find(L"queue="), logCalls[4].find(L',') - logCalls[4].find(L"queue="));
    EXPECT_NE(queue1, queue2);
    EXPECT_EQ(L"LOG_CreateLogRecord(" + queue2 + L", record=VT_UI1[lb=0]{1020})", logCalls[4]);
    EXPECT_EQ(L"LOG_CommitLogQueue(" + queue2 + L")", logCalls[5]);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, NoRecordOrNoSizeIsReportedWhenTheServerIsUp) {
    InitializeConnected();
    const BYTE record[] = {1, 2, 3};
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(nullptr, 10));
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, 0));
    EXPECT_EQ((std::vector<std::wstring>{L"Function called with invalid parameter",
                                         L"Function called with invalid parameter"}),
              TextsOf(kCollectLog, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x8058000c message: Function called with invalid parameter",
                                         L"hr: 0x8058000c message: Function called with invalid parameter"}),
              AdaptorErrors());
    EXPECT_TRUE(CallsStartingWith(L"LOG_").empty()) << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, WithoutAServerTheMissingRecordIsNotReported) {
    UnregisterServer();
    ASSERT_EQ(TARNSTUB_OK, Initialize(reports_test::kBladeType));
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(nullptr, 10));
    // The connection is checked first: no level-1 line, no report.
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_TRUE(TextsOf(kCollectLog, L'E').empty()) << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"Called"}), TextsOf(kCollectLog, L'V'));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, ASuccessCodeForTheRecordIsAFailureAndNothingIsCommitted) {
    InitializeConnected();
    TarnRef_SetResult(L"LOG_CreateLogRecord", 1);
    const BYTE record[] = {1, 2, 3};
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, sizeof(record)));
    EXPECT_EQ(1u, TarnRef_CountCalls(L"LOG_CreateLogRecord"));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"LOG_CommitLogQueue")) << CallDump();
    EXPECT_EQ((std::vector<std::wstring>{L"LOG_CreateLogRecord call failed, hr: 0x00000001"}),
              TextsOf(kCollectLog, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: LOG_CreateLogRecord call failed"}),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(LogRecordE2E, FailuresOfQueueAndCommitAreEachReported) {
    InitializeConnected();
    const BYTE record[] = {9};
    TarnRef_FailOperation(L"LOG_CreateLogQueue", E_OUTOFMEMORY);
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, 1));
    EXPECT_EQ(0u, TarnRef_CountCalls(L"LOG_CreateLogRecord"));
    TarnRef_FailOperation(L"LOG_CreateLogQueue", 0);
    TarnRef_SetResult(L"LOG_CommitLogQueue", 1);
    EXPECT_EQ(TARNSTUB_LOG_FAILED, CollectLog(record, 1));
    EXPECT_EQ((std::vector<std::wstring>{L"LOG_CreateLogQueue call failed, hr: 0x8007000e",
                                         L"LOG_CommitLogQueue call failed, hr: 0x00000001"}),
              TextsOf(kCollectLog, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: LOG_CreateLogQueue call failed",
                                         L"hr: 0x80580005 message: LOG_CommitLogQueue call failed"}),
              AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
