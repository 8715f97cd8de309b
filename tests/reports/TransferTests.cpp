// Downloads and the CA certificate fingerprint through the server's extra
// interfaces.
#include <gtest/gtest.h>

#include "ReportsSupport.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace {

using reports_test::BstrSlot;
using reports_test::ReportsTest;

class TransferE2E : public ReportsTest {};

const wchar_t kDownLoadFile[] = L"TarnAdaptor::DownLoadFile";
const wchar_t kFingerPrint[] = L"TarnAdaptor::GetCaCertFingerPrint";

TEST_F(TransferE2E, ANameTheServerLeavesAloneComesBackAsNoFname) {
    InitializeConnected();
    BstrSlot name;
    EXPECT_EQ(TARNSTUB_OK, DownloadFile(L"http://host/file.bin", name.Out()));
    EXPECT_EQ(L"NoFname", name.Text());
    EXPECT_FALSE(name.Untouched());
    EXPECT_EQ((std::vector<std::wstring>{L"DownloadFile(url=\"http://host/file.bin\", fileName=\"NoFname\")"}),
              CallsStartingWith(L"DownloadFile("))
        << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, TheServersChosenNameReachesTheBlade) {
    InitializeConnected();
    TarnRef_SetDownloadFileName(L"C:\\cache\\chosen name.bin");
    TarnRef_SetResult(L"DownloadFile", S_FALSE);
    BstrSlot name;
    EXPECT_EQ(TARNSTUB_OK, DownloadFile(nullptr, name.Out()));
    EXPECT_EQ(L"C:\\cache\\chosen name.bin", name.Text());
    // A missing URL is sent as an empty text.
    EXPECT_EQ((std::vector<std::wstring>{L"DownloadFile(url=\"\", fileName=\"NoFname\")"}),
              CallsStartingWith(L"DownloadFile("))
        << CallDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, WithoutTheDownloadInterfaceTheRequestFailsQuietly) {
    InitializeConnected();
    TarnRef_EnableInterface(TARNREF_IFACE_DOWNLOAD, FALSE);
    const size_t errorsBefore = ErrorLineCount();
    BstrSlot name;
    EXPECT_EQ(TARNSTUB_DOWNLOAD_FAILED, DownloadFile(L"http://host/x", name.Out()));
    EXPECT_TRUE(name.Untouched());
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_TRUE(AdaptorErrors().empty());
    EXPECT_EQ(0u, TarnRef_CountCalls(L"DownloadFile"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, AFailedDownloadIsReportedAndLeavesTheSlot) {
    InitializeConnected();
    TarnRef_FailOperation(L"DownloadFile", E_ACCESSDENIED);
    BstrSlot name;
    EXPECT_EQ(TARNSTUB_DOWNLOAD_FAILED, DownloadFile(L"http://host/x", name.Out()));
    EXPECT_TRUE(name.Untouched());
    // The format ends with a blank.
    EXPECT_EQ((std::vector<std::wstring>{L"DownloadFile call failed, hr: 0x80070005, URL: [http://host/x] "}),
              TextsOf(kDownLoadFile, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: DownLoadFile call failed"}), AdaptorErrors());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, TheFingerprintGivesBothTexts) {
    InitializeConnected();
    BstrSlot first, second;
    EXPECT_EQ(TARNSTUB_OK, GetCaCertFingerPrint(first.Out(), second.Out()));
    EXPECT_EQ(L"REF-CA-FP", first.Text());
    EXPECT_EQ(L"REF-CA-FP-ENG", second.Text());
    TarnRef_SetCaCertFingerPrint(L"AB:CD:EF", nullptr);
    BstrSlot third, fourth;
    EXPECT_EQ(TARNSTUB_OK, GetCaCertFingerPrint(third.Out(), fourth.Out()));
    EXPECT_EQ(L"AB:CD:EF", third.Text());
    EXPECT_EQ(L"", fourth.Text());
    // The server receives two empty texts to fill.
    EXPECT_EQ(std::vector<std::wstring>(2, L"GetCaCertFingerPrint(caCertFP=\"\", caCertFPEng=\"\")"),
              CallsStartingWith(L"GetCaCertFingerPrint("))
        << CallDump();
    const auto traces = TextsOf(kFingerPrint, L'V');
    EXPECT_EQ((std::vector<std::wstring>{
                  L"Called", L"GetCaCertFingerPrint succeeded caCertFP: REF-CA-FP, caCertFPEng: REF-CA-FP-ENG",
                  L"Called", L"GetCaCertFingerPrint succeeded caCertFP: AB:CD:EF, caCertFPEng: "}),
              traces)
        << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(TransferE2E, AFailedFingerprintLeavesBothSlotsUntouched) {
    InitializeConnected();
    TarnRef_FailOperation(L"GetCaCertFingerPrint", E_FAIL);
    BstrSlot first, second;
    EXPECT_EQ(TARNSTUB_CA_FINGERPRINT_FAILED, GetCaCertFingerPrint(first.Out(), second.Out()));
    EXPECT_TRUE(first.Untouched());
    EXPECT_TRUE(second.Untouched());
    EXPECT_EQ((std::vector<std::wstring>{L"GetCaCertFingerPrint call failed, hr: 0x80004005"}),
              TextsOf(kFingerPrint, L'E'))
        << LogDump();
    EXPECT_EQ((std::vector<std::wstring>{L"hr: 0x80580005 message: GetCaCertFingerPrint call failed"}),
              AdaptorErrors());
    TarnRef_FailOperation(L"GetCaCertFingerPrint", 0);
    TarnRef_EnableInterface(TARNREF_IFACE_CERTIFICATE, FALSE);
    const size_t errorsBefore = ErrorLineCount();
    EXPECT_EQ(TARNSTUB_CA_FINGERPRINT_FAILED, GetCaCertFingerPrint(first.Out(), second.Out()));
    EXPECT_TRUE(first.Untouched());
    EXPECT_TRUE(second.Untouched());
    EXPECT_EQ(errorsBefore, ErrorLineCount()) << LogDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"GetCaCertFingerPrint"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace
