// The lifecycle exports and the module state, driven as a blade drives them.
#include <gtest/gtest.h>

#include "StubFixture.h"
#include "tarnstub.h"

namespace {

using tarn_test::StubTest;

// These cases run without a Tarn server.
class LifecycleTest : public StubTest {
protected:
    void SetUp() override {
        StubTest::SetUp();
        tarn_test::RemoveServerRegistration();
    }
};

TEST_F(LifecycleTest, BladeTypesAboveTheRangeAreRefusedWithoutAnAdaptor) {
    EXPECT_EQ(TARNSTUB_BLADE_TYPE_NOT_ACCEPTED, Initialize(49));
    EXPECT_EQ(TARNSTUB_BLADE_TYPE_NOT_ACCEPTED, Initialize(0xFFFFFFFFu));
    // 48 passes the range check and is refused by the init thread.
    EXPECT_EQ(TARNSTUB_BLADE_TYPE_NOT_ACCEPTED, Initialize(48));
    EXPECT_EQ(TARNSTUB_BLADE_TYPE_NOT_ACCEPTED, Initialize(7));
    EXPECT_EQ(TARNSTUB_BLADE_TYPE_NOT_ACCEPTED, Initialize(10));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    // No adaptor was ever created, so the log was never started.
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(LogPath().c_str()));
}

TEST_F(LifecycleTest, FinalizeTwiceReturnsSuccessThenNotInitialized) {
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    EXPECT_TRUE(LogHas(L"I  ")) << LogDump();
    EXPECT_EQ(1u, CountLogLines(L"TarnAdaptor::Stop: Monitor thread joined")) << LogDump();
    // The destructor's second stop finds the monitor stopped and tells the peer.
    EXPECT_TRUE(LogHas(L"E ") && LogHas(L"hr: 0x8058000a message: Already stopped, call abandoned")) << LogDump();
}

TEST_F(LifecycleTest, InitializationCanBeRepeatedAfterFinalize) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(14));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, CountLogLines(L"Setting blade type to: 12")) << LogDump();
    EXPECT_EQ(1u, CountLogLines(L"Setting blade type to: 14")) << LogDump();
    // One process, one log: the banner is written once.
    EXPECT_EQ(1u, CountLogLines(L"########## TARN ADAPTOR STARTED")) << LogDump();
}

TEST_F(LifecycleTest, SecondInitializationKeepsTheFirstAdaptor) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUiTarnStub());
    EXPECT_EQ(TARNSTUB_ALREADY_INITIALIZED, InitializeUrlFilteringTarnStub());
    EXPECT_EQ(TARNSTUB_ALREADY_INITIALIZED, Initialize(12));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    // The user interface has no peer: it is moved into the monitoring range.
    EXPECT_TRUE(LogHas(L"Converting blade type to blades monitoring range type: 8 -> 1009 ")) << LogDump();
    EXPECT_EQ(1u, CountLogLines(L"Setting blade type to: ")) << LogDump();
    EXPECT_TRUE(LogHas(L"Setting blade type to: 1009")) << LogDump();
}

TEST_F(LifecycleTest, BannerNamesTheProcessAndTheBuildVersion) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    wchar_t expected[256];
    _snwprintf(expected, 255,
               L"TarnAdaptor::InitLogger: ########## TARN ADAPTOR STARTED, PID=%d, "
               L"ProcessName=%s, Version=%S ##########",
               static_cast<int>(GetCurrentProcessId()), tarn_test::ProcessBaseName().c_str(), "1000");
    expected[255] = L'\0';
    EXPECT_EQ(1u, CountLogLines(expected)) << LogDump();
}

TEST_F(LifecycleTest, NoLogWithoutALogDirectory) {
    tarn_test::ScopedRegistryValue noLogDir =
        tarn_test::ScopedRegistryValue::Missing(tarn_test::kQuillonKey, L"LOGDIR");
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(logDir_.Join(L"*.log").c_str(), &found);
    EXPECT_EQ(INVALID_HANDLE_VALUE, search);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
}

TEST_F(LifecycleTest, PeerlessBladeTypesMoveIntoTheMonitoringRange) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(11));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_TRUE(LogHas(L"NotificationPeer is NULL for blade type: 11")) << LogDump();
    EXPECT_TRUE(LogHas(L"GUID: 02ad4f18-bd1d-4c14-ab21-6d3dea3de58b set, for bladeTpe: 1012 (Used bladeType: 11)"))
        << LogDump();
    // Without a peer of its own the adaptor falls back to the embedded one.
    EXPECT_TRUE(LogHas(L"No explicit NotificationPeer was set, using DEFAULT NotificationPeer")) << LogDump();
}

TEST_F(LifecycleTest, BladeTypesAfterTheHighRowsStillFindTheirGuids) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(15));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(16));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_TRUE(LogHas(L"GUID: 8b98dfc4-6a80-4d6b-b182-dc81f7c69b3d set, for bladeTpe: 15 (Used bladeType: 15)"))
        << LogDump();
    EXPECT_TRUE(LogHas(L"GUID: c63e68f9-931f-408d-b549-4ce7ef189bae set, for bladeTpe: 16 (Used bladeType: 16)"))
        << LogDump();
}

TEST_F(LifecycleTest, WithoutAServerInitializationSucceedsAndRetriesLater) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(9));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_TRUE(LogHas(L"Non-Critical error connecting to TARN,  continuing initialization and automatic retries"))
        << LogDump();
    EXPECT_TRUE(LogHas(L"Monitor thread created. TID=")) << LogDump();
}

TEST_F(LifecycleTest, SettingsAreRefusedWhileInitialized) {
    const DWORD types[] = {60};
    const wchar_t* payloadTypes[] = {L"T1"};
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SetSupportedPolicyTypes(nullptr, 1));
    EXPECT_EQ(TARNSTUB_COUNT_BELOW_ONE, SetSupportedPolicyTypes(types, 0));
    EXPECT_EQ(TARNSTUB_NULL_POINTER, SetSupportedPayloadResponseTypes(nullptr, 1));
    EXPECT_EQ(TARNSTUB_COUNT_BELOW_ONE, SetSupportedPayloadResponseTypes(payloadTypes, -1));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(TARNSTUB_SETTING_AFTER_INIT, SetSupportedPolicyTypes(types, 1));
    EXPECT_EQ(TARNSTUB_SETTING_AFTER_INIT, SetSupportedPayloadResponseTypes(payloadTypes, 1));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(TARNSTUB_OK, SetSupportedPolicyTypes(types, 1));
    EXPECT_EQ(TARNSTUB_OK, SetSupportedPayloadResponseTypes(payloadTypes, 1));
}

}  // namespace
