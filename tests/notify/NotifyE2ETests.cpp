// Notifications end to end: the blade registers real callbacks through the
// exports of TarnStub.dll, the reference server in its own process calls the
// stub's callback object from its threads, and the test checks what the
// callbacks got, what the server's calls returned and what the adaptor log
// says.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <numeric>
#include <thread>

#include "NotifyTest.h"
#include "win/raii.h"

#include <tlhelp32.h>

namespace {

using namespace notify_test;

constexpr wchar_t kPolicyIdText[] = L"1b4e28ba-2fa1-11d2-883f-0016d3cca427";
const GUID kPolicyId = {0x1b4e28ba, 0x2fa1, 0x11d2, {0x88, 0x3f, 0x00, 0x16, 0xd3, 0xcc, 0xa4, 0x27}};

std::wstring PolicyDescription(LONG type, LONG pac) {
    return L"<policy type=\"" + std::to_wstring(type) + L"\" pac=\"" + std::to_wstring(pac) + L"\" id=\"" +
           kPolicyIdText + L"\" modDate=\"1700000000000\"/>";
}

void TARNSTUB_CALL OnConnect() {}
void TARNSTUB_CALL OnSettings(LONG, LONG) {}

// What the registration exports answer, first with a callback, then with
// null: the five peer callbacks, the settings callback, the connect callback.
std::vector<DWORD> RegistrationCodes() {
    std::vector<DWORD> codes;
    for (bool null : {false, true}) {
        codes.push_back(RegisterNewPolicyArrivalNotificationCallback(null ? nullptr : &OnPolicy));
        codes.push_back(RegisterNewOperationArrivalNotificationCallback(null ? nullptr : &OnOperation));
        codes.push_back(RegisterActivationStatusChangedNotificationCallback(null ? nullptr : &OnActivation));
        codes.push_back(RegisterOnPayloadResponseNotificationCallback(null ? nullptr : &OnPayload));
        codes.push_back(RegisterReportIncidentNotificationCallback(null ? nullptr : &OnIncident));
        codes.push_back(RegisterSettingsUpdateCallback(null ? nullptr : &OnSettings));
        codes.push_back(RegisterConnectToTarnNotificationCallback(null ? nullptr : &OnConnect));
    }
    return codes;
}

std::vector<DWORD> Codes(DWORD peer, DWORD settings, DWORD peerNull, DWORD settingsNull) {
    return {peer,     peer,     peer,     peer,     peer,     settings,     TARNSTUB_OK,
            peerNull, peerNull, peerNull, peerNull, peerNull, settingsNull, TARNSTUB_NULL_CALLBACK};
}

using NotifyE2E = NotifyTest;

TEST_F(NotifyE2E, RegistrationCodesFollowTheOrderOfTheChecks) {
    // The adaptor is checked first, then the peer (or the settings callback's
    // blade type), then the pointer; the connect callback needs neither.
    EXPECT_EQ(Codes(2, 2, 2, 2), RegistrationCodes()) << "before Initialize";
    const struct {
        DWORD bladeType;
        std::vector<DWORD> codes;
    } cases[] = {{8, Codes(4, 4, 4, 4)},
                 {11, Codes(4, 4, 4, 4)},
                 {12, Codes(0, 16, 19, 16)},
                 {9, Codes(0, 16, 19, 16)},
                 {6, Codes(0, 0, 19, 0)}};  // remote access takes and clears the settings callback
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.bladeType);
        ASSERT_EQ(TARNSTUB_OK, Initialize(expected.bladeType));
        EXPECT_EQ(expected.codes, RegistrationCodes());
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
}

// Deliveries run on threads of their own, and Finalize drops those that have
// not reached the blade yet: each case waits for its callbacks first.

TEST_F(NotifyE2E, PolicyDescriptionWithTypeAtItsVeryStartIsDropped) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(RegisterPeerCallbacks());
    const std::wstring rest = L" pac=\"3\" id=\"" + std::wstring(kPolicyIdText) + L"\" modDate=\"1700000000000\"";
    // The type attribute at the very first character is not an attribute.
    const std::wstring dropped[] = {L"type=\"61\"" + rest, L"", L"<policy type=\"61\" pac=\"3\"/>"};
    for (const std::wstring& description : dropped)
        EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, description.c_str())));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, nullptr)));
    // One blank in front makes it a description.
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, (L" type=\"62\"" + rest).c_str())));
    ASSERT_TRUE(recorder_.WaitFor(recorder_.policies, 1));
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    const auto policies = recorder_.Copy(recorder_.policies);
    ASSERT_EQ(1u, policies.size());
    EXPECT_TRUE(IsEqualGUID(kPolicyId, policies[0].id));
    EXPECT_EQ(62, policies[0].type);
    EXPECT_EQ(3, policies[0].pac);
    EXPECT_EQ(5u, Entries(L'V', L"TARNClientBridge::PolicyArrivalNotification: Policy arrived")) << LogDump();
    // The dropped ones never started a delivery thread.
    EXPECT_EQ(1u, Entries(L'V', L"TARNClientBridge::PolicyArrivalThread: in thread function"));
    EXPECT_EQ(1u, EntriesStartingWith(L"TarnStubDefaultNotificationPeer::OnNewPolicy: New Policy = PolicyInfo: "
                                      L"Pol type: 62 pac: 3 id: " +
                                      std::wstring(kPolicyIdText)))
        << LogDump();
}

TEST_F(NotifyE2E, TextsReachTheCallbacksAsBstrCopiesOfTheirLength) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(RegisterPeerCallbacks());
    const GUID opId = MakeGuid(0xabc);
    const std::wstring content = L"run scan \u00e9\u20ac \"now\"";
    const wchar_t* const contents[] = {content.c_str(), L"", nullptr};
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 7 + i, contents[i])));
    EXPECT_EQ(S_OK, Await(TarnRef_CallReportIncident(0, L"inc-1", 5, L"d1", L"", nullptr, -3, 4, 0xFFFFFFFFu,
                                                     L"fourth \u00e9")));
    // Incidents are delivered on the server's thread: done when the call returned.
    ASSERT_EQ(1u, recorder_.Copy(recorder_.incidents).size());
    ASSERT_TRUE(recorder_.WaitFor(recorder_.operations, 3));
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    auto operations = recorder_.Copy(recorder_.operations);
    ASSERT_EQ(3u, operations.size());
    std::sort(operations.begin(), operations.end(), [](auto& a, auto& b) { return a.type < b.type; });
    // Empty or absent content: a non-null empty BSTR.
    const Text expected[] = {content, std::wstring(), std::wstring()};
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_TRUE(IsEqualGUID(opId, operations[i].id));
        EXPECT_EQ(7 + i, operations[i].type);
        EXPECT_EQ(expected[i], operations[i].content);
    }
    const IncidentCall incident = recorder_.Copy(recorder_.incidents)[0];
    EXPECT_EQ((std::vector<Text>{L"inc-1", L"d1", L"", L"", L"fourth \u00e9"}), incident.texts);
    EXPECT_EQ(5u, incident.incidentType);
    EXPECT_EQ(-3, incident.value1);
    EXPECT_EQ(4u, incident.value2);
    EXPECT_EQ(0xFFFFFFFFu, incident.value3);

    const std::wstring peer = L"TarnStubDefaultNotificationPeer::";
    EXPECT_EQ(3u, Entries(L'V', L"TARNClientBridge::OperationArrivalNotification: Operation arrived"));
    EXPECT_EQ(1u, Entries(L'V', peer + L"OnNewOperation: Sending operation to blade callback function, type: 7, id: " +
                                    tarn_test::GuidText(opId)))
        << LogDump();
    EXPECT_EQ(1u, Entries(L'V', peer + L"OnReportIncident: TarnStubDefaultNotificationPeer ReportIncident =inc-1"));
}

TEST_F(NotifyE2E, ActivationListsAreLoggedAndDeliveredWithTheirCount) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(RegisterPeerCallbacks());
    const LONG pacs[] = {5, 7};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 2)));
    SAFEARRAYBOUND fromOne = {3, 1};  // indices 1 to 3
    win::UniqueSafeArray array(SafeArrayCreate(VT_I4, 1, &fromOne));
    win::UniqueSafeArray unsignedList(SafeArrayCreateVector(VT_UI4, 0, 2));
    win::UniqueSafeArray emptyList(SafeArrayCreateVector(VT_I4, 0, 0));
    ASSERT_TRUE(array && unsignedList && emptyList);
    for (LONG index = 1; index <= 3; ++index) {
        LONG value = 100 + index;
        ASSERT_EQ(S_OK, SafeArrayPutElement(array.get(), &index, &value));
    }
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePoliciesArray(0, array.get())));
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallActivatePoliciesArray(0, unsignedList.get())));
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallActivatePoliciesArray(0, nullptr)));
    // Empty lists are dropped: the blade never sees a count of 0 from the server.
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePoliciesArray(0, emptyList.get())));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, nullptr, 0)));
    ASSERT_TRUE(recorder_.WaitFor(recorder_.activations, 2));
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    auto activations = recorder_.Copy(recorder_.activations);
    std::sort(activations.begin(), activations.end());
    EXPECT_EQ((std::vector<std::vector<LONG>>{{5, 7}, {101, 102, 103}}), activations);
    const std::wstring called = L"TARNClientBridge::ActivatePolicies: Called, set policy activation list called with: ";
    EXPECT_EQ(1u, Entries(L'V', called + L"{5, 7}")) << LogDump();
    EXPECT_EQ(1u, Entries(L'V', called + L"{101, 102, 103}")) << LogDump();
    EXPECT_EQ(2u, EntriesStartingWith(L"TARNClientBridge::ActivatePolicies: "));
    EXPECT_EQ(1u, Entries(L'V', L"TarnStubDefaultNotificationPeer::OnActivationStatusChanged: PAC list length =2"));
    EXPECT_EQ(2u, EntriesStartingWith(L"TarnStubDefaultNotificationPeer::OnActivationStatusChanged: "));
}

TEST_F(NotifyE2E, PayloadIsReadUpToItsFirstZeroByteAndEmptyOnesDropped) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(RegisterPeerCallbacks());
    const char withZero[] = {'a', 'b', 'c', '\0', 'x', 'y', 'z'};
    const char noZero[] = {'d', 'e', 'f'};  // the text ends with the array's last element
    const char utf8[] = "h\xC3\xA9\xE2\x82\xAC";
    const char leadingZero[] = {'\0', 'a'};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, withZero, sizeof withZero, L"T1")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, noZero, sizeof noZero, L"T2")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, utf8, sizeof utf8 - 1, L"T3")));
    // Without a type or without text: dropped.
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, noZero, sizeof noZero, L"")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, noZero, sizeof noZero, nullptr)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, leadingZero, sizeof leadingZero, L"T")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, nullptr, 0, L"T")));
    win::UniqueSafeArray numbers(SafeArrayCreateVector(VT_I4, 0, 1));
    ASSERT_TRUE(numbers);
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallPushDataArray(0, numbers.get(), L"T")));
    EXPECT_EQ(E_INVALIDARG, Await(TarnRef_CallPushDataArray(0, nullptr, L"T")));
    ASSERT_TRUE(recorder_.WaitFor(recorder_.payloads, 3));
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    auto payloads = recorder_.Copy(recorder_.payloads);
    ASSERT_EQ(3u, payloads.size());
    std::sort(payloads.begin(), payloads.end(), [](auto& a, auto& b) { return a.type < b.type; });
    const wchar_t* const texts[] = {L"abc", L"def", L"h\u00e9\u20ac"};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(Text(L"T" + std::to_wstring(i + 1)), payloads[i].type);
        EXPECT_EQ(Text(texts[i]), payloads[i].payload);
    }
    const std::wstring pushData = L"TARNClientBridge::PushData: ";
    EXPECT_EQ(9u, Entries(L'I', pushData + L"Called")) << LogDump();
    EXPECT_EQ(2u, Entries(L'I', pushData + L"Payload type is empty, exiting"));
    EXPECT_EQ(2u, Entries(L'I', pushData + L"Payload response is empty, exiting"));
    EXPECT_EQ(1u, Entries(L'I', pushData + L"Payload response received, type: T1"));
    EXPECT_EQ(3u, EntriesStartingWith(pushData + L"Payload response received"));
}

TEST_F(NotifyE2E, WithoutAPeerEveryDeliveryAnswersSOkWithoutALogLine) {
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
    EXPECT_EQ(0u, EntriesStartingWith(L"TARNClientBridge::")) << LogDump();
    // The adaptor's own logging-only peer saw connections and errors, nothing else.
    for (const wchar_t* operation :
         {L"OnNewPolicy", L"OnNewOperation", L"OnActivationStatusChanged", L"OnPayloadResponse", L"OnReportIncident"})
        EXPECT_EQ(0u, EntriesStartingWith(L"TarnNotificationPeer::" + std::wstring(operation))) << LogDump();
}

TEST_F(NotifyE2E, AdaptorErrorsAreLoggedButNeverReachACallback) {
    // With the stub's own peer and with the adaptor's logging-only one.
    for (DWORD bladeType : {12u, 11u}) {
        SCOPED_TRACE(bladeType);
        ASSERT_EQ(TARNSTUB_OK, Initialize(bladeType));
        EXPECT_EQ(bladeType == 12, RegisterPeerCallbacks());
        TarnRef_FailOperation(L"GetPolicyContent", E_FAIL);
        BSTR content = nullptr;
        EXPECT_EQ(TARNSTUB_POLICY_FAILED, GetPolicy(60, 2, &content));
        EXPECT_EQ(nullptr, content);
        ASSERT_EQ(TARNSTUB_OK, Finalize());
    }
    EXPECT_EQ(2u, Entries(L'E',
                          L"TarnNotificationPeer::OnAdaptorError: hr: 0x80580005 message: "
                          L"GetPolicyContent call failed"))
        << LogDump();
    EXPECT_EQ(0u, recorder_.Total());
}

// ---- across the process boundary ---------------------------------------------------

// The thread that last wrote under function, 0 when none did.
DWORD LastThreadOf(const std::vector<std::wstring>& lines, const std::wstring& function) {
    const auto entries = tarn_test::EntriesOf(lines, function);
    return entries.empty() ? 0 : entries.back().thread;
}

struct CallbackPath {
    const char* name;
    ULONG (*call)();
    const wchar_t* arrival;   // what the callback object runs on the server's call
    const wchar_t* delivery;  // the delivery thread; none when the blade is called on the server's call
};

const CallbackPath kCallbackPaths[] = {
    {"policy", [] { return TarnRef_CallPolicyArrival(0, PolicyDescription(60, 2).c_str()); },
     L"TARNClientBridge::PolicyArrivalNotification", L"TARNClientBridge::PolicyArrivalThread"},
    {"operation",
     [] {
         const GUID id = MakeGuid(3);
         return TarnRef_CallOperationArrival(0, &id, 3, L"op");
     },
     L"TARNClientBridge::OperationArrivalNotification", L"TARNClientBridge::OperationArrivalThread"},
    {"activation",
     [] {
         const LONG pac = 5;
         return TarnRef_CallActivatePolicies(0, &pac, 1);
     },
     L"TARNClientBridge::ActivatePolicies", L"TARNClientBridge::ActivatePoliciesThread"},
    {"payload response", [] { return TarnRef_CallPushData(0, "abc", 3, L"T"); }, L"TARNClientBridge::PushData",
     L"TARNClientBridge::OnPayloadResponseThread"},
    // Queries IKestrel on the callback object first.
    {"incident", [] { return TarnRef_CallReportIncident(0, L"i", 1, L"a", L"b", L"c", 1, 2, 3, L"d"); },
     L"TARNClientBridge::ReportIncident", nullptr},
};

// The server's calls come in on RPC threads of the blade's process. A
// notification reaches the blade on a delivery thread of its own, so the
// server's call returns at once; an incident on the server's call itself.
TEST_F(NotifyE2E, ServerCallsArriveOnRpcThreadsAndReachTheBladeOnTheirOwnThreads) {
    const DWORD bladeThread = GetCurrentThreadId();
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(RegisterPeerCallbacks());
    for (const CallbackPath& path : kCallbackPaths) {
        SCOPED_TRACE(path.name);
        const size_t before = recorder_.Copy(recorder_.threads).size();
        EXPECT_EQ(S_OK, Await(path.call()));
        ASSERT_TRUE(recorder_.WaitFor(recorder_.threads, before + 1));
        const DWORD callback = recorder_.Copy(recorder_.threads).back();
        const auto lines = LogLines();
        const DWORD arrival = LastThreadOf(lines, path.arrival);
        ASSERT_NE(0u, arrival) << LogDump();
        EXPECT_NE(bladeThread, arrival);
        EXPECT_NE(bladeThread, callback);
        if (path.delivery) {
            EXPECT_NE(arrival, callback);
            EXPECT_EQ(LastThreadOf(lines, path.delivery), callback) << LogDump();
        } else {
            EXPECT_EQ(arrival, callback);
        }
    }
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(std::size(kCallbackPaths), recorder_.Total());
}

// Streams of every kind at once, each from a thread of the server that makes
// one call after another: every kind reaches the blade in the server's order,
// though every other callback takes a while.
TEST_F(NotifyE2E, StreamsFromTheServersThreadsKeepTheOrderOfEachKind) {
    constexpr ULONG kCount = 60;
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(RegisterPeerCallbacks());
    recorder_.Reset(4, true);
    std::vector<ULONG> streams;
    for (int kind = TARNREF_STREAM_ACTIVATIONS; kind <= TARNREF_STREAM_INCIDENTS; ++kind)
        streams.push_back(TarnRef_StartStream(0, kind, kCount, L"stream"));
    for (ULONG stream : streams) {
        ULONG made = 0, failed = 0;
        ASSERT_NE(0u, stream);
        EXPECT_TRUE(TarnRef_WaitStream(stream, 60000, &made, &failed));
        EXPECT_EQ(kCount, made);
        EXPECT_EQ(0u, failed);
    }
    ASSERT_TRUE(tarn_test::WaitUntil([&] { return recorder_.Total() >= 5 * kCount; }, 30000)) << recorder_.Total();
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    // The sequence number each kind carried, in the order the blade got them.
    const auto number = [](const Text& text) { return text ? _wtol(text->c_str()) : -1L; };
    std::vector<LONG> policies, operations, activations, payloads, incidents;
    for (const auto& policy : recorder_.Copy(recorder_.policies)) policies.push_back(policy.pac);
    for (const auto& operation : recorder_.Copy(recorder_.operations)) operations.push_back(LONG(operation.type));
    for (const auto& list : recorder_.Copy(recorder_.activations))
        activations.push_back(list.size() == 1 ? list[0] : -1);
    for (const auto& payload : recorder_.Copy(recorder_.payloads)) payloads.push_back(number(payload.payload));
    for (const auto& incident : recorder_.Copy(recorder_.incidents)) incidents.push_back(number(incident.texts[0]));
    std::vector<LONG> inOrder(kCount);
    std::iota(inOrder.begin(), inOrder.end(), 1L);
    EXPECT_EQ(inOrder, policies);
    EXPECT_EQ(inOrder, operations);
    EXPECT_EQ(inOrder, activations);
    EXPECT_EQ(inOrder, payloads);
    EXPECT_EQ(inOrder, incidents);
}

// ---- the delivery queues -------------------------------------------------------

namespace queues {

long ThreadsOfThisProcess() {
    win::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    return count;
}

// An activation callback that blocks on its first list until released,
// and records every list.
struct Gate {
    static void TARNSTUB_CALL OnActivation(const LONG* pacs, LONG count) {
        if (!entered.exchange(true)) {
            SetEvent(blocked);
            WaitForSingleObject(release, INFINITE);
        }
        notify_test::OnActivation(pacs, count);
    }
    static inline std::atomic<bool> entered{false};
    static inline HANDLE blocked = nullptr;
    static inline HANDLE release = nullptr;
};

class DeliveryQueues : public NotifyTest {
protected:
    void SetUp() override {
        NotifyTest::SetUp();
        Gate::entered = false;
        Gate::blocked = blocked_.get();
        Gate::release = release_.get();
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        ASSERT_TRUE(RegisterPeerCallbacks());
        ASSERT_EQ(TARNSTUB_OK, RegisterActivationStatusChangedNotificationCallback(&Gate::OnActivation));
    }
    // Streams count activation lists {1} .. {count} from a server thread and
    // waits until every call has returned.
    static void StreamActivations(ULONG count) {
        const ULONG stream = TarnRef_StartStream(0, TARNREF_STREAM_ACTIVATIONS, count, nullptr);
        ULONG made = 0, failed = 0;
        ASSERT_TRUE(TarnRef_WaitStream(stream, 120000, &made, &failed));
        EXPECT_EQ(count, made);
        EXPECT_EQ(0u, failed);
    }
    std::vector<LONG> FirstPacs() {
        std::vector<LONG> pacs;
        for (const auto& list : recorder_.Copy(recorder_.activations)) pacs.push_back(list.empty() ? -1 : list[0]);
        return pacs;
    }
    win::UniqueHandle blocked_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    win::UniqueHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

// 800 lists behind one callback that blocks: the server's calls all return
// at once, the blade's process gains no thread per list, and once the
// callback returns every list arrives, in order.
TEST_F(DeliveryQueues, ABlockedCallbackKeepsHundredsOfNotificationsQueuedOnOneThread) {
    constexpr ULONG kCount = 800;
    const long before = ThreadsOfThisProcess();
    StreamActivations(kCount);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(blocked_.get(), tarn_test::kWaitMs));
    const long during = ThreadsOfThisProcess();
    EXPECT_LE(during - before, 5) << "threads before " << before << ", with 800 lists waiting " << during;
    // The other kinds are not held up.
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, "abc", 3, L"T")));
    EXPECT_TRUE(recorder_.WaitFor(recorder_.payloads, 1));
    SetEvent(release_.get());
    ASSERT_TRUE(recorder_.WaitFor(recorder_.activations, kCount, 60000)) << recorder_.Total();
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    std::vector<LONG> inOrder(kCount);
    std::iota(inOrder.begin(), inOrder.end(), 1L);
    EXPECT_EQ(inOrder, FirstPacs());
    EXPECT_EQ(kCount, Entries(L'V', L"TARNClientBridge::ActivatePoliciesThread: in thread function"));
    EXPECT_EQ(kCount, Entries(L'V', L"TARNClientBridge::ActivatePoliciesThread: exit from thread function"));
}

// Finalize while a callback blocks with lists waiting behind it: the lists
// that have not begun are discarded (one log line gives their number), the
// blocked one finishes before Finalize returns, and nothing runs afterwards.
TEST_F(DeliveryQueues, FinalizeDiscardsWhatHasNotBegunAndNoCallbackRunsAfterIt) {
    StreamActivations(50);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(blocked_.get(), tarn_test::kWaitMs));
    std::atomic<bool> finalized{false};
    DWORD result = 0xFFFFFFFFu;
    std::thread finalizer([&] {
        result = Finalize();
        finalized = true;
        recorder_.Close();
    });
    // Finalize has told the server, and waits for the blocked callback.
    ASSERT_TRUE(tarn_test::WaitUntil([] { return TarnRef_CountCalls(L"Unregister") == 1; })) << CallDump();
    Sleep(100);
    EXPECT_FALSE(finalized.load()) << "Finalize returned while a callback was still running";
    SetEvent(release_.get());
    finalizer.join();
    EXPECT_EQ(TARNSTUB_OK, result);
    Sleep(200);
    EXPECT_EQ(std::vector<LONG>{1}, FirstPacs());
    EXPECT_EQ(0, recorder_.Late());
    EXPECT_EQ(1u, Entries(L'I', L"NotificationDelivery::Close: Finalize discarded 49 notifications not yet delivered"))
        << LogDump();
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
}

// A callback that enters a single-threaded apartment, as shell or XML code
// does, and finalises the stub from there.
struct ApartmentFinalizer {
    static void TARNSTUB_CALL OnPolicy(GUID, LONG, LONG) {
        const HRESULT entered = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        result = Finalize();
        if (SUCCEEDED(entered)) CoUninitialize();
        SetEvent(done);
    }
    static inline DWORD result = 0xFFFFFFFFu;
    static inline HANDLE done = nullptr;
};

TEST_F(DeliveryQueues, FinalizeFromACallbackInASingleThreadedApartmentReturns) {
    win::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ApartmentFinalizer::done = done.get();
    ASSERT_EQ(TARNSTUB_OK, RegisterNewPolicyArrivalNotificationCallback(&ApartmentFinalizer::OnPolicy));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, PolicyDescription(60, 2).c_str())));
    if (WaitForSingleObject(done.get(), tarn_test::kDeadlockBoundMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "Finalize inside the callback did not return: deadlock\n%s", LogDump().c_str());
        TerminateProcess(GetCurrentProcess(), 3);
    }
    EXPECT_EQ(TARNSTUB_OK, ApartmentFinalizer::result);
    // Finalize returned after the server was told.
    EXPECT_EQ(1u, TarnRef_CountCalls(L"UnRegisterProvider")) << CallDump();
    EXPECT_EQ(1u, TarnRef_CountCalls(L"Unregister"));
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));  // the stub starts again cleanly
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

}  // namespace queues

}  // namespace
