// The callback object driven as the server drives it: through its COM
// interfaces, from threads of the test's own and from the reference
// server's threads, while the stub is initialised, being finalised and
// after it is gone. The program holds the stub's code itself, so it can
// take its own reference to the callback object of the running adaptor.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FreedBlockWatch.h"
#include "LogFile.h"
#include "NotifyRecorder.h"
#include "ServerFixture.h"
#include "adaptor/AdaptorTesting.h"
#include "adaptor/TarnAdaptor.h"
#include "notify/TARNClientBridge.h"
#include "stub/ModuleState.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using notify_test::MakeGuid;
using notify_test::Recorder;
using tarn_test::CountEntries;
using tarn_test::CountEntriesStartingWith;

const wchar_t kPolicy[] =
    L"<policy type=\"60\" pac=\"2\" id=\"1b4e28ba-2fa1-11d2-883f-0016d3cca427\" modDate=\"1700000000000\"/>";

// The callback object of the running adaptor, with a reference of the
// test's own taken through ITARNClient.
win::ComPtr<ITARNClient> CurrentBridge() {
    win::ComPtr<ITARNClient> client;
    TarnAdaptor* adaptor = Module().adaptor.load();
    if (adaptor) client = adaptor->Context()->CallbackObject();
    return client;
}

win::UniqueSafeArray Longs(std::initializer_list<LONG> values) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(values.size())));
    LONG index = 0;
    for (LONG value : values) {
        SafeArrayPutElement(array.get(), &index, &value);
        ++index;
    }
    return array;
}

win::UniqueSafeArray Bytes(const std::string& bytes) {
    win::UniqueSafeArray array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
    for (LONG index = 0; index < static_cast<LONG>(bytes.size()); ++index) {
        BYTE value = static_cast<BYTE>(bytes[static_cast<size_t>(index)]);
        SafeArrayPutElement(array.get(), &index, &value);
    }
    return array;
}

win::UniqueBstr Text(const wchar_t* text) { return win::UniqueBstr::Copy(text); }

// Runs a function on a thread created with CreateThread and returns what it
// returned (E_ABORT when the thread does not end within 10 seconds).
template <typename Function>
HRESULT OnOwnThread(Function function) {
    struct Job {
        Function function;
        HRESULT result = E_ABORT;
    } job{function};
    win::UniqueHandle thread(CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
            auto* running = static_cast<Job*>(argument);
            running->result = running->function();
            return 0;
        },
        &job, 0, nullptr));
    if (!thread) return E_OUTOFMEMORY;
    if (WaitForSingleObject(thread.get(), 10000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the test's thread did not end";
        // The job lives on this stack: never return while the thread may use it.
        WaitForSingleObject(thread.get(), INFINITE);
    }
    return job.result;
}

class NotifyBridgeTest : public tarn_test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        Recorder::Get().Reset();
    }

    static HRESULT Await(ULONG callId) {
        EXPECT_NE(0u, callId) << "the server has no client to call";
        HRESULT result = E_UNEXPECTED;
        EXPECT_TRUE(TarnRef_WaitCall(callId, 5000, &result)) << "call " << callId << " did not return";
        return result;
    }

    bool WaitForEntry(wchar_t level, const std::wstring& entry, size_t count = 1) const {
        return tarn_test::WaitForEntry(LogPath(), level, entry, count);
    }
};

// ---- identity and reference counting -------------------------------------------------

using NotifyBridgeCom = NotifyBridgeTest;

TEST_F(NotifyBridgeCom, OtherBladesGetOnlyTheClientInterface) {
    ASSERT_EQ(TARNSTUB_OK, InitializeUrlFilteringTarnStub());
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);

    win::ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, client->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())));
    EXPECT_EQ(static_cast<IUnknown*>(client.Get()), unknown.Get());
    win::ComPtr<ITARNClient> again;
    ASSERT_EQ(S_OK, unknown->QueryInterface(IID_ITARNClient, reinterpret_cast<void**>(again.GetAddressOf())));
    EXPECT_EQ(client.Get(), again.Get());

    void* kestrel = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, client->QueryInterface(IID_IKestrel, &kestrel));
    EXPECT_EQ(nullptr, kestrel);
    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, client->QueryInterface(IID_ITarnServer, &other));
    EXPECT_EQ(nullptr, other);

    // AddRef and Release answer the new count; failed queries took none.
    const ULONG count = client->AddRef();
    EXPECT_EQ(count + 1, unknown->AddRef());
    EXPECT_EQ(count, client->Release());
    EXPECT_EQ(count - 1, unknown->Release());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(NotifyBridgeCom, IncidentBladeSharesOneCountAcrossBothInterfaces) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);
    win::ComPtr<IKestrel> kestrel;
    ASSERT_EQ(S_OK, client->QueryInterface(IID_IKestrel, reinterpret_cast<void**>(kestrel.GetAddressOf())));
    ASSERT_TRUE(kestrel);
    EXPECT_NE(static_cast<void*>(kestrel.Get()), static_cast<void*>(client.Get()));

    // Back from the second interface to the first: the same identity.
    win::ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, kestrel->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())));
    EXPECT_EQ(static_cast<IUnknown*>(client.Get()), unknown.Get());

    const ULONG count = client->AddRef();
    EXPECT_EQ(count - 1, kestrel->Release());
    EXPECT_EQ(count, kestrel->AddRef());
    EXPECT_EQ(count - 1, client->Release());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(NotifyBridgeCom, OperationsTheAdaptorDoesNotUseOnlyLog) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);
    VARIANT unused;
    VariantInit(&unused);
    SAFEARRAY* untouched = reinterpret_cast<SAFEARRAY*>(0x1234);
    EXPECT_EQ(S_OK, OnOwnThread([&] { return client->ServerClosing(); }));
    EXPECT_EQ(S_OK, OnOwnThread([&] { return client->GetAvailability(); }));
    EXPECT_EQ(S_OK, OnOwnThread([&] { return client->PropertyChange(1, 2, nullptr, nullptr, unused); }));
    EXPECT_EQ(E_NOTIMPL, OnOwnThread([&] { return client->GetActivePolicies(&untouched); }));
    EXPECT_EQ(reinterpret_cast<SAFEARRAY*>(0x1234), untouched);
    client.Reset();
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    const auto lines = LogLines();
    for (const wchar_t* name : {L"ServerClosing", L"GetAvailability", L"PropertyChange", L"GetActivePolicies"}) {
        EXPECT_EQ(1u, CountEntries(lines, L'W',
                                   L"TARNClientBridge::" + std::wstring(name) + L": Called, Not implemented"))
            << LogDump();
    }
}

// ---- deliveries from the test's own threads ----------------------------------------------------

using NotifyBridgeThreads = NotifyBridgeTest;

TEST_F(NotifyBridgeThreads, OwnThreadsDeliverThroughTheInterfaces) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);
    win::ComPtr<IKestrel> kestrel;
    ASSERT_EQ(S_OK, client.As(&kestrel));

    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    auto check = [&](HRESULT hr) {
        if (hr != S_OK) ++failures;
    };
    threads.emplace_back([&] {
        win::UniqueBstr description = Text(kPolicy);
        check(client->PolicyArrivalNotification(description.get()));
    });
    threads.emplace_back([&] {
        win::UniqueBstr content = Text(L"content");
        check(client->OperationArrivalNotification(MakeGuid(5), 11, content.get()));
    });
    threads.emplace_back([&] {
        win::UniqueSafeArray pacs = Longs({5, 7});
        check(client->ActivatePolicies(pacs.get()));
    });
    threads.emplace_back([&] {
        win::UniqueSafeArray payload = Bytes(std::string("abc\0def", 7));
        win::UniqueBstr type = Text(L"own");
        check(client->PushData(payload.get(), type.get()));
    });
    threads.emplace_back([&] {
        win::UniqueBstr id = Text(L"own-incident"), text = Text(L"t");
        check(kestrel->ReportIncident(id.get(), 2, text.get(), nullptr, text.get(), 1, 2, 3, nullptr));
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());

    Recorder& recorder = Recorder::Get();
    ASSERT_TRUE(recorder.WaitForPolicies(1));
    ASSERT_TRUE(recorder.WaitForOperations(1));
    ASSERT_TRUE(recorder.WaitForActivations(1));
    ASSERT_TRUE(recorder.WaitForPayloads(1));
    ASSERT_EQ(1u, recorder.Incidents().size());
    kestrel.Reset();
    client.Reset();
    EXPECT_EQ(TARNSTUB_OK, Finalize());

    EXPECT_EQ(60, recorder.Policies()[0].type);
    EXPECT_EQ(11u, recorder.Operations()[0].type);
    EXPECT_EQ(L"content", recorder.Operations()[0].content.text);
    EXPECT_EQ((std::vector<LONG>{5, 7}), recorder.Activations()[0]);
    EXPECT_EQ(L"abc", recorder.Payloads()[0].payload.text);
    EXPECT_EQ(L"own", recorder.Payloads()[0].type.text);
    const auto incident = recorder.Incidents()[0];
    EXPECT_EQ(L"own-incident", incident.id.text);
    EXPECT_FALSE(incident.detail2.null);
    EXPECT_EQ(0u, incident.detail2.length);
    EXPECT_FALSE(incident.detail4.null);
    EXPECT_EQ(0u, TarnRef_CountCalls(L"ReportIncident")) << "a delivery went to the server";
}

TEST_F(NotifyBridgeThreads, ArraysOfAnotherElementTypeAreRefused) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);
    win::UniqueSafeArray texts(SafeArrayCreateVector(VT_BSTR, 0, 2));
    win::UniqueSafeArray shorts(SafeArrayCreateVector(VT_I2, 0, 2));
    SAFEARRAYBOUND square[2] = {{2, 0}, {2, 0}};
    win::UniqueSafeArray twoDimensions(SafeArrayCreate(VT_UI1, 2, square));
    win::UniqueBstr type = Text(L"T");
    EXPECT_EQ(E_INVALIDARG, OnOwnThread([&] { return client->ActivatePolicies(texts.get()); }));
    EXPECT_EQ(E_INVALIDARG, OnOwnThread([&] { return client->ActivatePolicies(shorts.get()); }));
    EXPECT_EQ(E_INVALIDARG, OnOwnThread([&] { return client->PushData(texts.get(), type.get()); }));
    EXPECT_EQ(E_INVALIDARG, OnOwnThread([&] { return client->PushData(shorts.get(), type.get()); }));
    EXPECT_EQ(E_INVALIDARG, OnOwnThread([&] { return client->PushData(twoDimensions.get(), type.get()); }));
    client.Reset();
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, Recorder::Get().Total());
    EXPECT_EQ(0u, CountEntriesStartingWith(LogLines(), L"TARNClientBridge::ActivatePolicies")) << LogDump();
}

// ---- Finalize against deliveries in flight ------------------------------------------------------

using NotifyBridgeFinalize = NotifyBridgeTest;

// Keeps firing every kind of notification at the callback object until told
// to stop; what is sent after Finalize must be dropped.
void Storm(ITARNClient* client, const std::atomic<bool>& stop, int seed) {
    win::UniqueBstr description = Text(kPolicy);
    win::UniqueBstr content = Text(L"storm");
    win::UniqueBstr type = Text(L"storm");
    win::UniqueSafeArray pacs = Longs({seed, seed + 1});
    win::UniqueSafeArray payload = Bytes("storm payload");
    for (int i = 0; !stop; ++i) {
        switch (i % 4) {
            case 0: client->PolicyArrivalNotification(description.get()); break;
            case 1: client->OperationArrivalNotification(MakeGuid(static_cast<DWORD>(i)), 3, content.get()); break;
            case 2: client->ActivatePolicies(pacs.get()); break;
            default: client->PushData(payload.get(), type.get()); break;
        }
        Sleep(1);
    }
}

TEST_F(NotifyBridgeFinalize, NoCallbackRunsAfterFinalizeHasReturned) {
    constexpr int kRounds = 30;
    Recorder& recorder = Recorder::Get();
    int roundsWithDeliveriesInFlight = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        recorder.Reset(30);  // callbacks outlast the work Finalize does itself
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
        win::ComPtr<ITARNClient> client = CurrentBridge();
        ASSERT_TRUE(client);

        std::atomic<bool> stop{false};
        std::vector<std::thread> storms;
        for (int t = 0; t < 3; ++t) storms.emplace_back(Storm, client.Get(), std::cref(stop), t);
        std::vector<ULONG> serverCalls;
        const GUID opId = MakeGuid(static_cast<DWORD>(round));
        const LONG pacs[] = {5, 7};
        const char bytes[] = {'s', 'r', 'v'};
        for (int i = 0; i < 4; ++i) {
            serverCalls.push_back(TarnRef_CallPolicyArrival(0, kPolicy));
            serverCalls.push_back(TarnRef_CallOperationArrival(0, &opId, 4, L"server"));
            serverCalls.push_back(TarnRef_CallActivatePolicies(0, pacs, 2));
            serverCalls.push_back(TarnRef_CallPushData(0, bytes, sizeof bytes, L"server"));
        }
        ASSERT_TRUE(recorder.WaitForPolicies(1));
        if (!recorder.WaitIdle(0)) ++roundsWithDeliveriesInFlight;

        ASSERT_EQ(TARNSTUB_OK, Finalize());
        recorder.Close();

        // The storm goes on against the detached object for a moment.
        Sleep(10);
        stop = true;
        for (std::thread& storm : storms) storm.join();
        for (ULONG call : serverCalls) {
            HRESULT result = E_UNEXPECTED;
            EXPECT_TRUE(TarnRef_WaitCall(call, 5000, &result));
            EXPECT_EQ(S_OK, result);
        }
        EXPECT_EQ(0, recorder.LateCalls()) << "a callback ran after Finalize returned";
        EXPECT_TRUE(recorder.WaitIdle(0));
        client.Reset();
    }
    // The race was really run: Finalize met deliveries under way.
    EXPECT_GT(roundsWithDeliveriesInFlight, kRounds / 2);
    EXPECT_EQ(static_cast<size_t>(kRounds),
              CountEntries(LogLines(), L'I', L"TarnAdaptor::Stop: Monitor thread joined"));
}

// A blade callback that finalises the stub from its own delivery thread.
struct FinalizingCallback {
    static void TARNSTUB_CALL OnPolicy(GUID, LONG, LONG) {
        threadId = GetCurrentThreadId();
        result = Finalize();
        SetEvent(done);
    }
    static DWORD threadId;
    static DWORD result;
    static HANDLE done;
};
DWORD FinalizingCallback::threadId = 0;
DWORD FinalizingCallback::result = 0xFFFFFFFFu;
HANDLE FinalizingCallback::done = nullptr;

// Waits (bounded) until the thread has ended; a thread that already ended
// cannot be opened any more.
bool ThreadEnds(DWORD threadId, DWORD timeoutMs) {
    win::UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, threadId));
    return !thread || WaitForSingleObject(thread.get(), timeoutMs) == WAIT_OBJECT_0;
}

TEST_F(NotifyBridgeFinalize, CallbackMayFinalizeFromItsDeliveryThread) {
    win::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(done);
    FinalizingCallback::done = done.get();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, RegisterNewPolicyArrivalNotificationCallback(&FinalizingCallback::OnPolicy));
    // From here a deleted callback object is kept filled with a pattern, so
    // that any later write into it shows.
    freed_block_watch::Arm(sizeof(TARNClientBridge));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, kPolicy)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.get(), 10000)) << "Finalize inside the callback hung";
    EXPECT_TRUE(ThreadEnds(FinalizingCallback::threadId, 5000)) << "the delivery thread did not end";
    freed_block_watch::Disarm();

    EXPECT_EQ(TARNSTUB_OK, FinalizingCallback::result);
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    ASSERT_EQ(1u, freed_block_watch::FreedBlocks()) << "the callback object was not deleted";
    EXPECT_TRUE(freed_block_watch::AllUntouched()) << "the delivery wrote into the deleted callback object";
    // The stub starts again cleanly.
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// ---- the server keeps the callback object after the adaptor is gone ----------------------------

using NotifyBridgeDetached = NotifyBridgeTest;

TEST_F(NotifyBridgeDetached, CallsAfterFinalizeFindNoAdaptorAndNoPeer) {
    // The server refuses Unregister, so it keeps its reference to the client.
    TarnRef_FailOperation(L"Unregister", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    win::ComPtr<ITARNClient> client = CurrentBridge();
    ASSERT_TRUE(client);
    win::ComPtr<IKestrel> kestrel;
    ASSERT_EQ(S_OK, client.As(&kestrel));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(1u, TarnRef_RegistrationCount()) << CallDump();

    EXPECT_EQ(E_FAIL, Await(TarnRef_CallPullData(0)));
    const GUID opId = MakeGuid(2);
    const LONG pacs[] = {5, 7};
    const char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, kPolicy)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 1, L"late")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 2)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, abc, sizeof abc, L"late")));
    // Without an adaptor the object is no incident receiver any more.
    EXPECT_EQ(E_NOINTERFACE, Await(TarnRef_CallReportIncident(0, L"i", 1, L"a", L"b", L"c", 1, 2, 3, L"d")));

    // The test's own references, from its own threads.
    EXPECT_EQ(E_FAIL, OnOwnThread([&] {
                  win::UniqueBstr id = Text(L"late-incident");
                  return kestrel->ReportIncident(id.get(), 1, nullptr, nullptr, nullptr, 0, 0, 0, nullptr);
              }));
    EXPECT_EQ(E_FAIL, OnOwnThread([&] {
                  win::UniqueSafeArray payload;
                  win::UniqueBstr type;
                  return client->PullData(payload.put(), type.put());
              }));
    void* refused = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, client->QueryInterface(IID_IKestrel, &refused));
    EXPECT_EQ(nullptr, refused);

    EXPECT_EQ(0u, Recorder::Get().Total());
    const auto lines = LogLines();
    EXPECT_EQ(2u, CountEntries(lines, L'E', L"TARNClientBridge::PullData: Adaptor pointer is missing")) << LogDump();
    EXPECT_EQ(1u, CountEntries(lines, L'E', L"TARNClientBridge::ReportIncident: Adaptor pointer i smissing"));
    // Dropped before any logging, like a bridge that never had a peer.
    EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TARNClientBridge::PolicyArrivalNotification"));
    EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TARNClientBridge::PushData"));
    EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TARNClientBridge::ActivatePolicies"));
    EXPECT_EQ(0u, CountEntriesStartingWith(lines, L"TARNClientBridge::OperationArrivalNotification"));
    kestrel.Reset();
    client.Reset();
    TarnRef_Reset();  // releases the server's reference while this module is loaded
}

TEST_F(NotifyBridgeDetached, TheOldObjectNeverDeliversToTheNextInitialization) {
    TarnRef_FailOperation(L"Unregister", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    const ULONG oldCookie = TarnRef_LastCookie();
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    const ULONG newCookie = TarnRef_LastCookie();
    ASSERT_NE(oldCookie, newCookie);

    const LONG oldPacs[] = {1};
    const LONG newPacs[] = {2};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(oldCookie, oldPacs, 1)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(newCookie, newPacs, 1)));
    ASSERT_TRUE(Recorder::Get().WaitForActivations(1));
    ASSERT_TRUE(WaitForEntry(L'V', L"TARNClientBridge::ActivatePoliciesThread: exit from thread function"));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    const auto activations = Recorder::Get().Activations();
    ASSERT_EQ(1u, activations.size());
    EXPECT_EQ((std::vector<LONG>{2}), activations[0]);
    TarnRef_Reset();
}

// ---- reconnection --------------------------------------------------------------------------------

using NotifyBridgeConnect = NotifyBridgeTest;

TEST_F(NotifyBridgeConnect, ConnectCallbackRunsAgainAfterAReconnection) {
    adaptor_testing::SetMonitorPeriod(100);
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&notify_test::OnConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(14));
    ASSERT_TRUE(notify_test::RegisterPeerCallbacks());
    EXPECT_EQ(1u, Recorder::Get().Connects());
    TarnRef_Restart();
    ASSERT_TRUE(Recorder::Get().WaitForConnects(2, 10000)) << LogDump();
    // The new registration handed over the same callback object: it delivers.
    const LONG pacs[] = {8};
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 1)));
    EXPECT_TRUE(Recorder::Get().WaitForActivations(1));
    EXPECT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(2u, TarnRef_CountCalls(L"Register")) << CallDump();
}

}  // namespace
