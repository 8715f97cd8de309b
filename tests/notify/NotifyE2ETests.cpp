// Notifications end to end: the blade registers real callbacks through the
// exports of TarnStub.dll, the reference server calls the stub's callback
// object from its own threads, and the test checks what the callbacks got,
// what the server's calls returned and what the adaptor log says.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "LogFile.h"
#include "NotifyRecorder.h"
#include "ServerFixture.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using notify_test::MakeGuid;
using notify_test::Recorder;
using tarn_test::CountEntries;
using tarn_test::CountEntriesStartingWith;
using tarn_test::EntriesStartingWith;

constexpr wchar_t kPolicyIdText[] = L"1b4e28ba-2fa1-11d2-883f-0016d3cca427";
const GUID kPolicyId = {0x1b4e28ba, 0x2fa1, 0x11d2, {0x88, 0x3f, 0x00, 0x16, 0xd3, 0xcc, 0xa4, 0x27}};

std::wstring PolicyDescription(LONG type, LONG pac) {
    return L"<policy type=\"" + std::to_wstring(type) + L"\" pac=\"" + std::to_wstring(pac) + L"\" id=\"" +
           kPolicyIdText + L"\" modDate=\"1700000000000\"/>";
}

class NotifyE2ETest : public tarn_test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Recorder::Get().Reset();
    }

    // Initialises the stub for a blade type with a default peer and
    // registers every peer callback.
    void StartWithCallbacks(DWORD bladeType) {
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    }

    // The result of a call the server made to the stub's callback object.
    static HRESULT Await(ULONG callId) {
        EXPECT_NE(0u, callId) << "the server has no client to call";
        HRESULT result = E_UNEXPECTED;
        EXPECT_TRUE(TarnRef_WaitCall(callId, 5000, &result)) << "call " << callId << " did not return";
        return result;
    }

    size_t Entries(wchar_t level, const std::wstring& entry) const {
        return CountEntries(LogLines(), level, entry);
    }
    bool WaitForEntry(wchar_t level, const std::wstring& entry, size_t count = 1) const {
        return tarn_test::WaitForEntry(LogPath(), level, entry, count);
    }
};

// ---- registration codes ----------------------------------------------------------

using NotifyE2ERegistration = NotifyE2ETest;

TEST_F(NotifyE2ERegistration, BeforeInitializeOnlyTheConnectCallbackIsAccepted) {
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterConnectToTarnNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&notify_test::OnConnectCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, RegisterNewPolicyArrivalNotificationCallback(&notify_test::OnPolicyCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED,
              RegisterNewOperationArrivalNotificationCallback(&notify_test::OnOperationCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED,
              RegisterActivationStatusChangedNotificationCallback(&notify_test::OnActivationCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED,
              RegisterOnPayloadResponseNotificationCallback(&notify_test::OnPayloadCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED,
              RegisterReportIncidentNotificationCallback(&notify_test::OnIncidentCallback));
    // The adaptor is checked before the pointer.
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, RegisterNewPolicyArrivalNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, RegisterSettingsUpdateCallback(&notify_test::OnSettingsCallback));
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, RegisterSettingsUpdateCallback(nullptr));
}

TEST_F(NotifyE2ERegistration, BladesWithoutAStubPeerAnswerNoPeer) {
    for (DWORD bladeType : {8u, 11u}) {
        SCOPED_TRACE(bladeType);
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER,
                  RegisterNewPolicyArrivalNotificationCallback(&notify_test::OnPolicyCallback));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER,
                  RegisterNewOperationArrivalNotificationCallback(&notify_test::OnOperationCallback));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER,
                  RegisterActivationStatusChangedNotificationCallback(&notify_test::OnActivationCallback));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER,
                  RegisterOnPayloadResponseNotificationCallback(&notify_test::OnPayloadCallback));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER,
                  RegisterReportIncidentNotificationCallback(&notify_test::OnIncidentCallback));
        // The peer is checked before the pointer.
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER, RegisterReportIncidentNotificationCallback(nullptr));
        EXPECT_EQ(TARNSTUB_NO_NOTIFICATION_PEER, RegisterSettingsUpdateCallback(&notify_test::OnSettingsCallback));
        // The connect callback needs neither adaptor nor peer.
        EXPECT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&notify_test::OnConnectCallback));
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
}

TEST_F(NotifyE2ERegistration, NullPointersWithAPeerAnswerNullCallback) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterNewPolicyArrivalNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterNewOperationArrivalNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterActivationStatusChangedNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterOnPayloadResponseNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterReportIncidentNotificationCallback(nullptr));
    EXPECT_EQ(TARNSTUB_SETTINGS_CALLBACK_NOT_VPN, RegisterSettingsUpdateCallback(&notify_test::OnSettingsCallback));
    EXPECT_TRUE(notify_test::RegisterPeerCallbacks());
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    EXPECT_EQ(TARNSTUB_SETTINGS_CALLBACK_NOT_VPN, RegisterSettingsUpdateCallback(&notify_test::OnSettingsCallback));
    EXPECT_EQ(TARNSTUB_SETTINGS_CALLBACK_NOT_VPN, RegisterSettingsUpdateCallback(nullptr));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(NotifyE2ERegistration, RemoteAccessTakesAndClearsTheSettingsCallback) {
    ASSERT_EQ(TARNSTUB_OK, InitializeLumenTarnStub());
    EXPECT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(&notify_test::OnSettingsCallback));
    EXPECT_EQ(TARNSTUB_OK, RegisterSettingsUpdateCallback(nullptr));
    // Its peer exists, so a callback it never calls is still accepted.
    EXPECT_EQ(TARNSTUB_OK, RegisterNewOperationArrivalNotificationCallback(&notify_test::OnOperationCallback));
    EXPECT_EQ(TARNSTUB_NULL_CALLBACK, RegisterNewOperationArrivalNotificationCallback(nullptr));
    const GUID opId = MakeGuid(0x600);
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 4, L"never forwarded")));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::OperationArrivalThread: exit from thread function"))
        << LogDump();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Recorder::Get().Total());
}

// ---- the connect callback -----------------------------------------------------------

using NotifyE2EConnect = NotifyE2ETest;

TEST_F(NotifyE2EConnect, CalledOnEveryConnectionOfBladesWithTheDefaultPeer) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&notify_test::OnConnectCallback));
    size_t expected = 0;
    for (DWORD bladeType : {9u, 12u, 13u, 14u, 15u, 16u}) {
        SCOPED_TRACE(bladeType);
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        ++expected;
        // The first connection is made before Initialize returns.
        EXPECT_EQ(expected, Recorder::Get().Connects());
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
    EXPECT_EQ(6u, Entries(L'V', L"TarnStubDefaultNotificationPeer::OnConnect: "
                                L"Connected To TARN, calling blade callback function"))
        << LogDump();
}

TEST_F(NotifyE2EConnect, NeverCalledForRemoteAccessOrBladesWithoutAStubPeer) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&notify_test::OnConnectCallback));
    for (DWORD bladeType : {6u, 8u, 11u}) {
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
    EXPECT_EQ(3u, TarnRef_CountCalls(L"Register")) << CallDump();
    EXPECT_EQ(0u, Recorder::Get().Connects());
    // Blade types 8 and 11 fall back to the adaptor's logging-only peer.
    EXPECT_EQ(2u, Entries(L'V', L"TarnNotificationPeer::OnConnect: Connected")) << LogDump();
    EXPECT_EQ(0u, CountEntriesStartingWith(LogLines(), L"TarnStubDefaultNotificationPeer::")) << LogDump();
}

// ---- deliveries through the default peer -------------------------------------------------

using NotifyE2EDelivery = NotifyE2ETest;

TEST_F(NotifyE2EDelivery, NewPolicyReachesTheCallbackWithIdTypeAndPac) {
    StartWithCallbacks(12);
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, PolicyDescription(60, 2).c_str())));
    ASSERT_TRUE(Recorder::Get().WaitForPolicies(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::PolicyArrivalThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto policies = Recorder::Get().Policies();
    ASSERT_EQ(1u, policies.size());
    EXPECT_TRUE(IsEqualGUID(kPolicyId, policies[0].id));
    EXPECT_EQ(60, policies[0].type);
    EXPECT_EQ(2, policies[0].pac);

    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntries(lines, L'V', L"TARNClientBridge::PolicyArrivalNotification: Policy arrived"));
    EXPECT_EQ(1u, CountEntries(lines, L'V', L"TARNClientBridge::PolicyArrivalThread: in thread function"));
    const auto newPolicy = EntriesStartingWith(lines, L"TarnStubDefaultNotificationPeer::OnNewPolicy: New Policy = ");
    ASSERT_EQ(1u, newPolicy.size()) << LogDump();
    const std::wstring expectedStart = L"TarnStubDefaultNotificationPeer::OnNewPolicy: New Policy = PolicyInfo: "
                                       L"Pol type: 60 pac: 2 id: " + std::wstring(kPolicyIdText) +
                                       L" modDate: 1700000000000 (";
    EXPECT_EQ(0u, newPolicy[0].find(expectedStart)) << LogDump();
    EXPECT_EQ(newPolicy[0].size() - 11, newPolicy[0].rfind(L") key: none")) << LogDump();
}

TEST_F(NotifyE2EDelivery, PolicyDescriptionsThatDoNotParseAreDropped) {
    StartWithCallbacks(12);
    const std::wstring rest =
        L" pac=\"3\" id=\"" + std::wstring(kPolicyIdText) + L"\" modDate=\"1700000000000\"";
    // The type attribute at the very first character is not an attribute.
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, (L"type=\"61\"" + rest).c_str())));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, L"")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, nullptr)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, L"<policy type=\"61\" pac=\"3\"/>")));
    // One blank in front makes it a description.
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, (L" type=\"62\"" + rest).c_str())));
    ASSERT_TRUE(Recorder::Get().WaitForPolicies(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::PolicyArrivalThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    // The dropped ones never started a delivery thread.
    const auto policies = Recorder::Get().Policies();
    ASSERT_EQ(1u, policies.size());
    EXPECT_EQ(62, policies[0].type);
    EXPECT_EQ(3, policies[0].pac);
    const auto lines = LogLines();
    EXPECT_EQ(5u, CountEntries(lines, L'V', L"TARNClientBridge::PolicyArrivalNotification: Policy arrived"));
    EXPECT_EQ(1u, CountEntries(lines, L'V', L"TARNClientBridge::PolicyArrivalThread: in thread function"));
    EXPECT_EQ(1u, CountEntriesStartingWith(lines, L"TarnStubDefaultNotificationPeer::OnNewPolicy: ")) << LogDump();
}

TEST_F(NotifyE2EDelivery, NewOperationGetsAFreshBstrCopyOfItsContent) {
    StartWithCallbacks(12);
    const GUID opId = MakeGuid(0xabc);
    const std::wstring content = L"run scan \u00e9\u20ac \"now\"";
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 7, content.c_str())));
    ASSERT_TRUE(Recorder::Get().WaitForOperations(1));
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 8, L"")));
    ASSERT_TRUE(Recorder::Get().WaitForOperations(2));
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 9, nullptr)));
    ASSERT_TRUE(Recorder::Get().WaitForOperations(3));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::OperationArrivalThread: exit from thread function", 3));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto operations = Recorder::Get().Operations();
    ASSERT_EQ(3u, operations.size());
    for (const auto& operation : operations) EXPECT_TRUE(IsEqualGUID(opId, operation.id));
    EXPECT_EQ(7u, operations[0].type);
    EXPECT_FALSE(operations[0].content.null);
    EXPECT_EQ(content.size(), operations[0].content.length);
    EXPECT_EQ(content, operations[0].content.text);
    // Empty or absent content: a non-null empty BSTR.
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(7u + i, operations[i].type);
        EXPECT_FALSE(operations[i].content.null);
        EXPECT_EQ(0u, operations[i].content.length);
    }

    const std::wstring id = tarn_test::GuidText(opId);
    const auto lines = LogLines();
    EXPECT_EQ(3u, CountEntries(lines, L'V', L"TARNClientBridge::OperationArrivalNotification: Operation arrived"));
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TarnStubDefaultNotificationPeer::OnNewOperation: New Operation, type: 7, id: " + id))
        << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TarnStubDefaultNotificationPeer::OnNewOperation: Sending operation to blade "
                               L"callback function, type: 7, id: " + id))
        << LogDump();
}

TEST_F(NotifyE2EDelivery, ActivationListIsLoggedAndDeliveredWithItsCount) {
    StartWithCallbacks(12);
    const LONG pacs[] = {5, 7};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 2)));
    ASSERT_TRUE(Recorder::Get().WaitForActivations(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::ActivatePoliciesThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto activations = Recorder::Get().Activations();
    ASSERT_EQ(1u, activations.size());
    EXPECT_EQ((std::vector<LONG>{5, 7}), activations[0]);
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TARNClientBridge::ActivatePolicies: Called, set policy activation list called "
                               L"with: {5, 7}"))
        << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TarnStubDefaultNotificationPeer::OnActivationStatusChanged: PAC list length =2"))
        << LogDump();
}

TEST_F(NotifyE2EDelivery, ActivationArrayIsReadFromItsLowerBound) {
    StartWithCallbacks(12);
    SAFEARRAYBOUND bound = {3, 1};  // indices 1 to 3
    win::UniqueSafeArray array(SafeArrayCreate(VT_I4, 1, &bound));
    ASSERT_TRUE(array);
    for (LONG index = 1; index <= 3; ++index) {
        LONG value = 100 + index;
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), &index, &value));
    }
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePoliciesArray(0, array.get())));
    ASSERT_TRUE(Recorder::Get().WaitForActivations(1));
    const LONG single[] = {-4};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, single, 1)));
    ASSERT_TRUE(Recorder::Get().WaitForActivations(2));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::ActivatePoliciesThread: exit from thread function", 2));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto activations = Recorder::Get().Activations();
    ASSERT_EQ(2u, activations.size());
    EXPECT_EQ((std::vector<LONG>{101, 102, 103}), activations[0]);
    EXPECT_EQ((std::vector<LONG>{-4}), activations[1]);
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TARNClientBridge::ActivatePolicies: Called, set policy activation list called "
                               L"with: {101, 102, 103}"))
        << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TARNClientBridge::ActivatePolicies: Called, set policy activation list called "
                               L"with: {-4}"))
        << LogDump();
}

TEST_F(NotifyE2EDelivery, ActivationArraysOfTheWrongKindAreRefusedAndEmptyOnesDropped) {
    StartWithCallbacks(12);
    win::UniqueSafeArray unsignedList(SafeArrayCreateVector(VT_UI4, 0, 2));
    win::UniqueSafeArray emptyList(SafeArrayCreateVector(VT_I4, 0, 0));
    ASSERT_TRUE(unsignedList && emptyList);
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallActivatePoliciesArray(0, unsignedList.get())));
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallActivatePoliciesArray(0, nullptr)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePoliciesArray(0, emptyList.get())));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, nullptr, 0)));
    const LONG pacs[] = {9};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 1)));
    ASSERT_TRUE(Recorder::Get().WaitForActivations(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::ActivatePoliciesThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    // Only the list with an element was logged and delivered: the blade never
    // sees a count of 0 from the server.
    const auto activations = Recorder::Get().Activations();
    ASSERT_EQ(1u, activations.size());
    EXPECT_EQ((std::vector<LONG>{9}), activations[0]);
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntriesStartingWith(lines, L"TARNClientBridge::ActivatePolicies: ")) << LogDump();
    EXPECT_EQ(1u, CountEntriesStartingWith(lines, L"TarnStubDefaultNotificationPeer::OnActivationStatusChanged: "));
}

TEST_F(NotifyE2EDelivery, PayloadIsReadUpToItsFirstZeroByte) {
    StartWithCallbacks(12);
    const char withZero[] = {'a', 'b', 'c', '\0', 'x', 'y', 'z'};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, withZero, sizeof withZero, L"T1")));
    ASSERT_TRUE(Recorder::Get().WaitForPayloads(1));
    // Without a zero byte the text ends with the array's last element.
    const char noZero[] = {'d', 'e', 'f'};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, noZero, sizeof noZero, L"T2")));
    ASSERT_TRUE(Recorder::Get().WaitForPayloads(2));
    const char utf8[] = "h\xC3\xA9\xE2\x82\xAC";
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, utf8, sizeof utf8 - 1, L"T3")));
    ASSERT_TRUE(Recorder::Get().WaitForPayloads(3));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::OnPayloadResponseThread: exit from thread function", 3));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto payloads = Recorder::Get().Payloads();
    ASSERT_EQ(3u, payloads.size());
    EXPECT_EQ(L"T1", payloads[0].type.text);
    EXPECT_EQ(2u, payloads[0].type.length);
    EXPECT_EQ(L"abc", payloads[0].payload.text);
    EXPECT_EQ(3u, payloads[0].payload.length);
    EXPECT_EQ(L"def", payloads[1].payload.text);
    EXPECT_EQ(3u, payloads[1].payload.length);
    EXPECT_EQ(L"h\u00e9\u20ac", payloads[2].payload.text);

    const auto lines = LogLines();
    EXPECT_EQ(3u, CountEntries(lines, L'I', L"TARNClientBridge::PushData: Called")) << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'I', L"TARNClientBridge::PushData: Payload response received, type: T1"));
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TarnStubDefaultNotificationPeer::OnPayloadResponse: OnPayloadResponse, payload "
                               L"response received type: T2"))
        << LogDump();
}

TEST_F(NotifyE2EDelivery, PayloadsWithoutTypeOrTextAreDroppedAndWrongArraysRefused) {
    StartWithCallbacks(12);
    const char abc[] = {'a', 'b', 'c'};
    const char leadingZero[] = {'\0', 'a'};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, abc, sizeof abc, L"")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, abc, sizeof abc, nullptr)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, leadingZero, sizeof leadingZero, L"T")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, nullptr, 0, L"T")));
    win::UniqueSafeArray numbers(SafeArrayCreateVector(VT_I4, 0, 1));
    ASSERT_TRUE(numbers);
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallPushDataArray(0, numbers.get(), L"T")));
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallPushDataArray(0, nullptr, L"T")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, abc, sizeof abc, L"last")));
    ASSERT_TRUE(Recorder::Get().WaitForPayloads(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::OnPayloadResponseThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto payloads = Recorder::Get().Payloads();
    ASSERT_EQ(1u, payloads.size());
    EXPECT_EQ(L"last", payloads[0].type.text);
    const auto lines = LogLines();
    EXPECT_EQ(7u, CountEntries(lines, L'I', L"TARNClientBridge::PushData: Called")) << LogDump();
    EXPECT_EQ(2u, CountEntries(lines, L'I', L"TARNClientBridge::PushData: Payload type is empty, exiting"));
    EXPECT_EQ(2u, CountEntries(lines, L'I', L"TARNClientBridge::PushData: Payload response is empty, exiting"));
    EXPECT_EQ(1u, CountEntriesStartingWith(lines, L"TARNClientBridge::PushData: Payload response received"));
}

TEST_F(NotifyE2EDelivery, IncidentReachesTheCallbackOnTheServersThread) {
    StartWithCallbacks(13);
    EXPECT_EQ(S_OK, Await(TarnRef_CallReportIncident(0, L"inc-1", 5, L"d1", L"", nullptr, -3, 4, 0xFFFFFFFFu,
                                                     L"fourth \u00e9")));
    // Synchronous: the callback has run when the call returned.
    ASSERT_EQ(1u, Recorder::Get().Incidents().size());
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto incident = Recorder::Get().Incidents()[0];
    EXPECT_EQ(L"inc-1", incident.id.text);
    EXPECT_EQ(5u, incident.id.length);
    EXPECT_EQ(5u, incident.incidentType);
    EXPECT_EQ(L"d1", incident.detail1.text);
    for (const auto* empty : {&incident.detail2, &incident.detail3}) {
        EXPECT_FALSE(empty->null);
        EXPECT_EQ(0u, empty->length);
    }
    EXPECT_EQ(-3, incident.value1);
    EXPECT_EQ(4u, incident.value2);
    EXPECT_EQ(0xFFFFFFFFu, incident.value3);
    EXPECT_EQ(L"fourth \u00e9", incident.detail4.text);
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TARNClientBridge::ReportIncident: Report incident arrived, calling OnReportIncident"));
    EXPECT_EQ(1u, CountEntries(lines, L'V',
                               L"TarnStubDefaultNotificationPeer::OnReportIncident: TarnStubDefaultNotificationPeer "
                               L"ReportIncident =inc-1"))
        << LogDump();
}

TEST_F(NotifyE2EDelivery, IncidentInterfaceIsRefusedToOtherBladeTypes) {
    StartWithCallbacks(12);
    EXPECT_EQ(E_NOINTERFACE, Await(TarnRef_CallReportIncident(0, L"inc", 1, L"a", L"b", L"c", 1, 2, 3, L"d")));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Recorder::Get().Total());
    EXPECT_EQ(0u, CountEntriesStartingWith(LogLines(), L"TARNClientBridge::ReportIncident")) << LogDump();
}

TEST_F(NotifyE2EDelivery, RegisteringAgainTakesEffectForTheNextDelivery) {
    static std::atomic<int> replacementCalls{0};
    StartWithCallbacks(12);
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, PolicyDescription(60, 1).c_str())));
    ASSERT_TRUE(Recorder::Get().WaitForPolicies(1));
    ASSERT_EQ(TARNSTUB_OK, RegisterNewPolicyArrivalNotificationCallback([](GUID, LONG, LONG pac) {
                  if (pac == 2) ++replacementCalls;
              }));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, PolicyDescription(60, 2).c_str())));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::PolicyArrivalThread: exit from thread function", 2));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1, replacementCalls.load());
    EXPECT_EQ(1u, Recorder::Get().Policies().size());
}

TEST_F(NotifyE2EDelivery, CallbacksSurviveFinalizeAndServeTheNextInitialization) {
    StartWithCallbacks(12);
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(14));
    const LONG pacs[] = {3};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 1)));
    EXPECT_TRUE(Recorder::Get().WaitForActivations(1));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(NotifyE2EDelivery, ManyNotificationsAreDeliveredConcurrently) {
    constexpr int kEach = 30;
    StartWithCallbacks(12);
    Recorder::Get().Reset(20);  // each callback takes a while
    std::vector<ULONG> calls;
    for (int i = 0; i < kEach; ++i) {
        calls.push_back(TarnRef_CallPolicyArrival(0, PolicyDescription(60, i).c_str()));
        const GUID opId = MakeGuid(static_cast<DWORD>(i));
        calls.push_back(TarnRef_CallOperationArrival(0, &opId, static_cast<ULONG>(i), L"op"));
        const LONG pac = i;
        calls.push_back(TarnRef_CallActivatePolicies(0, &pac, 1));
        const std::string payload = "p" + std::to_string(i);
        calls.push_back(TarnRef_CallPushData(0, payload.data(), static_cast<ULONG>(payload.size()), L"many"));
    }
    for (ULONG call : calls) EXPECT_EQ(S_OK, Await(call));
    Recorder& recorder = Recorder::Get();
    ASSERT_TRUE(recorder.WaitForPolicies(kEach, 20000));
    ASSERT_TRUE(recorder.WaitForOperations(kEach, 20000));
    ASSERT_TRUE(recorder.WaitForActivations(kEach, 20000));
    ASSERT_TRUE(recorder.WaitForPayloads(kEach, 20000));
    EXPECT_TRUE(recorder.WaitIdle());
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    // Each notification exactly once, whatever the order.
    std::set<LONG> pacs, opTypes, activated;
    std::set<std::wstring> payloads;
    for (const auto& policy : recorder.Policies()) pacs.insert(policy.pac);
    for (const auto& operation : recorder.Operations()) opTypes.insert(static_cast<LONG>(operation.type));
    for (const auto& list : recorder.Activations()) {
        ASSERT_EQ(1u, list.size());
        activated.insert(list[0]);
    }
    for (const auto& payload : recorder.Payloads()) payloads.insert(payload.payload.text);
    EXPECT_EQ(static_cast<size_t>(kEach), pacs.size());
    EXPECT_EQ(static_cast<size_t>(kEach), opTypes.size());
    EXPECT_EQ(static_cast<size_t>(kEach), activated.size());
    EXPECT_EQ(static_cast<size_t>(kEach), payloads.size());
    EXPECT_EQ(static_cast<size_t>(4 * kEach), recorder.Total());
    // Deliveries run on threads of their own, so slow callbacks overlap.
    EXPECT_GT(recorder.MaxConcurrent(), 1);
}

// ---- what never reaches the blade ---------------------------------------------------------

using NotifyE2ESilence = NotifyE2ETest;

TEST_F(NotifyE2ESilence, WithoutAPeerEveryDeliveryAnswersSOkWithoutALogLine) {
    for (DWORD bladeType : {8u, 11u}) {
        SCOPED_TRACE(bladeType);
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        const GUID opId = MakeGuid(1);
        const LONG pacs[] = {5, 7};
        const char abc[] = {'a', 'b', 'c'};
        win::UniqueSafeArray wrongType(SafeArrayCreateVector(VT_BSTR, 0, 1));
        EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, PolicyDescription(60, 2).c_str())));
        EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 1, L"x")));
        EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 2)));
        EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, abc, sizeof abc, L"T")));
        // Dropped before any check: even arrays of the wrong kind.
        EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePoliciesArray(0, wrongType.get())));
        EXPECT_EQ(S_OK, Await(TarnRef_CallPushDataArray(0, wrongType.get(), L"T")));
        EXPECT_EQ(E_NOINTERFACE, Await(TarnRef_CallReportIncident(0, L"i", 1, L"a", L"b", L"c", 1, 2, 3, L"d")));
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
    const auto lines = LogLines();
    EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TARNClientBridge::")) << LogDump();
    // The adaptor's own logging-only peer saw connections and errors, nothing else.
    for (const wchar_t* operation : {L"OnNewPolicy", L"OnNewOperation", L"OnActivationStatusChanged",
                                     L"OnPayloadResponse", L"OnReportIncident"})
        EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TarnNotificationPeer::" + std::wstring(operation)))
            << LogDump();
}

TEST_F(NotifyE2ESilence, AdaptorErrorsAreLoggedButNeverReachACallback) {
    StartWithCallbacks(12);
    TarnRef_FailOperation(L"GetPolicyContent", E_FAIL);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(nullptr, content);
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(1u, Entries(L'E', L"TarnNotificationPeer::OnAdaptorError: hr: 0x80580005 message: "
                                L"GetPolicyContent call failed"))
        << LogDump();
    EXPECT_EQ(0u, Recorder::Get().Total());
}

TEST_F(NotifyE2ESilence, BladesWithoutAStubPeerLogThroughTheBasePeer) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(11));
    TarnRef_FailOperation(L"GetPolicyContent", E_FAIL);
    BSTR content = nullptr;
    EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    const auto lines = LogLines();
    EXPECT_EQ(1u, CountEntries(lines, L'V', L"TarnNotificationPeer::OnConnect: Connected")) << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'E',
                               L"TarnNotificationPeer::OnAdaptorError: hr: 0x80580005 message: GetPolicyContent "
                               L"call failed"))
        << LogDump();
}

}  // namespace
