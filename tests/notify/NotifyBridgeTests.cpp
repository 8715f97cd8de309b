// The callback object driven as the server drives it: through its COM
// interfaces, from threads of the test's own and from the reference
// server's threads, while the stub is initialised, being finalised and
// after it is gone. The program holds the stub's code itself, so it can
// take its own reference to the callback object of the running adaptor.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "NotifyTest.h"
#include "adaptor/TarnAdaptor.h"
#include "notify/Delivery.h"
#include "notify/TARNClientBridge.h"
#include "CurrentAdaptor.h"
#include "stub/ModuleState.h"
#include "win/SafeArrayView.h"
#include "win/raii.h"

// While a size is watched, the program's sized delete does not give the
// first freed block of that size back to the heap: it fills it with a
// pattern and keeps it, so that a later write through a dangling pointer
// shows as a changed byte.
namespace {
constexpr unsigned char kFreedFill = 0xDD;
std::atomic<std::size_t> g_watchedSize{0};
std::atomic<int> g_freedWatched{0};
std::atomic<unsigned char*> g_keptBlock{nullptr};
}  // namespace

void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t size) noexcept {
    if (block && size == g_watchedSize) {
        ++g_freedWatched;
        unsigned char* none = nullptr;
        if (g_keptBlock.compare_exchange_strong(none, static_cast<unsigned char*>(block))) {
            std::memset(block, kFreedFill, size);
            return;
        }
    }
    std::free(block);
}

namespace {

using namespace notify_test;

const wchar_t kPolicy[] =
    L"<policy type=\"60\" pac=\"2\" id=\"1b4e28ba-2fa1-11d2-883f-0016d3cca427\" modDate=\"1700000000000\"/>";

// The callback object of the running adaptor, with a reference of the test's own.
win::ComPtr<ITARNClient> CurrentBridge() {
    win::ComPtr<ITARNClient> client;
    TarnAdaptor* adaptor = tarn_test::CurrentAdaptor();
    if (adaptor) client = adaptor->Context()->CallbackObject();
    return client;
}

template <typename T>
win::UniqueSafeArray Vector(VARTYPE type, std::initializer_list<T> values) {
    win::UniqueSafeArray array(SafeArrayCreateVector(type, 0, static_cast<ULONG>(values.size())));
    const auto storage = win::SafeArrayView(array.get()).LockBytes();
    if (storage) std::copy(values.begin(), values.end(), reinterpret_cast<T*>(storage.data()));
    return array;
}

using NotifyBridge = NotifyTest;

TEST_F(NotifyBridge, OnlyTheIncidentBladeGetsIKestrelAndBothInterfacesShareOneCount) {
    ASSERT_EQ(TARNSTUB_OK, Initialize(9));
    win::ComPtr<ITARNClient> client = CurrentBridge(), again;
    ASSERT_TRUE(client);
    win::ComPtr<IUnknown> unknown;
    ASSERT_EQ(S_OK, client.As(&unknown));
    EXPECT_EQ(static_cast<IUnknown*>(client.Get()), unknown.Get());
    ASSERT_EQ(S_OK, unknown.As(&again));
    EXPECT_EQ(client.Get(), again.Get());
    const ULONG count = client->AddRef();
    for (const IID* refused : {&IID_IKestrel, &IID_ITarnServer}) {
        void* object = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(E_NOINTERFACE, client->QueryInterface(*refused, &object));
        EXPECT_EQ(nullptr, object);
    }
    // AddRef and Release answer the new count; the failed queries took none.
    EXPECT_EQ(count + 1, unknown->AddRef());
    EXPECT_EQ(count, client->Release());
    EXPECT_EQ(count - 1, unknown->Release());
    ASSERT_EQ(TARNSTUB_OK, Finalize());

    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    client = CurrentBridge();
    ASSERT_TRUE(client);
    win::ComPtr<IKestrel> kestrel;
    ASSERT_EQ(S_OK, client.As(&kestrel));
    EXPECT_NE(static_cast<void*>(kestrel.Get()), static_cast<void*>(client.Get()));
    ASSERT_EQ(S_OK, kestrel.As(&unknown));  // back to the same identity
    EXPECT_EQ(static_cast<IUnknown*>(client.Get()), unknown.Get());
    const ULONG shared = client->AddRef();
    EXPECT_EQ(shared - 1, kestrel->Release());
    EXPECT_EQ(shared, kestrel->AddRef());
    EXPECT_EQ(shared - 1, client->Release());
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// Keeps firing every kind of notification at the callback object until told
// to stop; what is sent after Finalize must be dropped.
void Storm(ITARNClient* client, const std::atomic<bool>& stop, LONG seed) {
    win::UniqueBstr description = win::UniqueBstr::Copy(kPolicy), text = win::UniqueBstr::Copy(L"storm");
    win::UniqueSafeArray pacs = Vector<LONG>(VT_I4, {seed, seed + 1});
    win::UniqueSafeArray payload = Vector<BYTE>(VT_UI1, {'s', 't', 'o', 'r', 'm'});
    for (int i = 0; !stop; ++i) {
        switch (i % 4) {
            case 0: client->PolicyArrivalNotification(description.get()); break;
            case 1: client->OperationArrivalNotification(MakeGuid(static_cast<DWORD>(i)), 3, text.get()); break;
            case 2: client->ActivatePolicies(pacs.get()); break;
            default: client->PushData(payload.get(), text.get()); break;
        }
        Sleep(1);
    }
}

TEST_F(NotifyBridge, NoCallbackRunsAfterFinalizeHasReturned) {
    constexpr int kRounds = 30;
    int roundsWithDeliveriesInFlight = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE(round);
        recorder_.Reset(30);  // callbacks outlast the work Finalize does itself
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        ASSERT_TRUE(RegisterPeerCallbacks());
        win::ComPtr<ITARNClient> client = CurrentBridge();
        ASSERT_TRUE(client);

        std::atomic<bool> stop{false};
        std::vector<std::thread> storms;
        for (LONG t = 0; t < 3; ++t) storms.emplace_back(Storm, client.Get(), std::cref(stop), t);
        std::vector<ULONG> serverCalls;
        const GUID opId = MakeGuid(static_cast<DWORD>(round));
        const LONG pacs[] = {5, 7};
        for (int i = 0; i < 4; ++i) {
            serverCalls.push_back(TarnRef_CallPolicyArrival(0, kPolicy));
            serverCalls.push_back(TarnRef_CallOperationArrival(0, &opId, 4, L"server"));
            serverCalls.push_back(TarnRef_CallActivatePolicies(0, pacs, 2));
            serverCalls.push_back(TarnRef_CallPushData(0, "srv", 3, L"server"));
        }
        ASSERT_TRUE(recorder_.WaitFor(recorder_.policies, 1));
        if (recorder_.Running() > 0) ++roundsWithDeliveriesInFlight;

        ASSERT_EQ(TARNSTUB_OK, Finalize());
        recorder_.Close();
        Sleep(10);  // the storm goes on against the detached object for a moment
        stop = true;
        for (std::thread& storm : storms) storm.join();
        for (ULONG call : serverCalls) EXPECT_EQ(S_OK, Await(call));
        EXPECT_EQ(0, recorder_.Late()) << "a callback ran after Finalize returned";
        EXPECT_EQ(0, recorder_.Running());
    }
    // The race was really run: Finalize met deliveries under way.
    EXPECT_GT(roundsWithDeliveriesInFlight, kRounds / 2);
    EXPECT_EQ(static_cast<size_t>(kRounds), Entries(L'I', L"TarnAdaptor::Stop: Monitor thread joined"));
}

// A blade callback that finalises the stub from its own delivery thread.
struct FinalizingCallback {
    static void TARNSTUB_CALL OnPolicy(GUID, LONG, LONG) {
        threadId = GetCurrentThreadId();
        result = Finalize();
        SetEvent(done);
    }
    static inline DWORD threadId = 0;
    static inline DWORD result = 0xFFFFFFFFu;
    static inline HANDLE done = nullptr;
};

TEST_F(NotifyBridge, CallbackMayFinalizeFromItsDeliveryThread) {
    win::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(done);
    FinalizingCallback::done = done.get();
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_EQ(TARNSTUB_OK, RegisterNewPolicyArrivalNotificationCallback(&FinalizingCallback::OnPolicy));
    // From here the deleted callback object is kept filled with a pattern:
    // the delivery must not touch it once Finalize has let it go.
    g_watchedSize = sizeof(TARNClientBridge);
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, kPolicy)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(done.get(), 10000)) << "Finalize inside the callback hung";
    // A thread that already ended cannot be opened any more.
    win::UniqueHandle thread(OpenThread(SYNCHRONIZE, FALSE, FinalizingCallback::threadId));
    EXPECT_TRUE(!thread || WaitForSingleObject(thread.get(), 5000) == WAIT_OBJECT_0) << "the delivery thread hung";
    g_watchedSize = 0;

    EXPECT_EQ(TARNSTUB_OK, FinalizingCallback::result);
    EXPECT_EQ(TARNSTUB_NOT_INITIALIZED, Finalize());
    ASSERT_EQ(1, g_freedWatched.load()) << "the callback object was not deleted";
    const unsigned char* kept = g_keptBlock.load();
    EXPECT_TRUE(std::all_of(kept, kept + sizeof(TARNClientBridge), [](unsigned char b) { return b == kFreedFill; }))
        << "the delivery wrote into the deleted callback object";
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));  // the stub starts again cleanly
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

// A policy callback that blocks on PAC 1 until released.
struct BlockingPolicyCallback {
    static void TARNSTUB_CALL OnPolicy(GUID id, LONG type, LONG pac) {
        if (pac == 1) WaitForSingleObject(release, INFINITE);
        notify_test::OnPolicy(id, type, pac);
    }
    static inline HANDLE release = nullptr;
};

// The stub initialised with a policy callback that blocks on PAC 1 until
// released, and the callback object to call as the server would.
class NotifyBridgeBlocked : public NotifyTest {
protected:
    void SetUp() override {
        NotifyTest::SetUp();
        BlockingPolicyCallback::release = release_.get();
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        ASSERT_TRUE(RegisterPeerCallbacks());
        ASSERT_EQ(TARNSTUB_OK, RegisterNewPolicyArrivalNotificationCallback(&BlockingPolicyCallback::OnPolicy));
        client_ = CurrentBridge();
        ASSERT_TRUE(client_);
    }
    HRESULT SendPolicy(LONG pac) {
        std::wstring description = kPolicy;
        description.replace(description.find(L"pac=\"2\""), 7, L"pac=\"" + std::to_wstring(pac) + L"\"");
        win::UniqueBstr text = win::UniqueBstr::Copy(description.c_str());
        return client_->PolicyArrivalNotification(text.get());
    }
    win::UniqueHandle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    win::ComPtr<ITARNClient> client_;
};

// Behind a blocked callback a kind takes up to its limit of notifications;
// the server's next call is refused with E_FAIL and a log line, never
// dropped silently, and every one taken is delivered once the callback
// returns.
TEST_F(NotifyBridgeBlocked, AFullQueueRefusesTheServersCallAndLosesNothingItTook) {
    // The first is taken out at once and blocks; the limit counts those waiting.
    ASSERT_EQ(S_OK, SendPolicy(1));
    ASSERT_TRUE(tarn_test::WaitUntil(
        [&] { return Entries(L'V', L"TARNClientBridge::PolicyArrivalThread: in thread function") == 1; }));
    const LONG limit = static_cast<LONG>(DeliveryQueue::kPendingLimit);
    LONG refused = 0;
    for (LONG pac = 2; pac <= limit + 3; ++pac)
        if (SendPolicy(pac) == E_FAIL) ++refused;
    EXPECT_EQ(2, refused);
    EXPECT_EQ(2u, EntriesStartingWith(L"TARNClientBridge::PolicyArrivalNotification: Delivery queue full (10000 "
                                      L"notifications waiting), notification refused"))
        << LogDump();
    SetEvent(release_.get());
    ASSERT_TRUE(recorder_.WaitFor(recorder_.policies, static_cast<size_t>(limit) + 1, 60000));
    const auto policies = recorder_.Copy(recorder_.policies);
    for (LONG i = 0; i <= limit; ++i) ASSERT_EQ(i + 1, policies[static_cast<size_t>(i)].pac) << i;
    EXPECT_EQ(TARNSTUB_OK, Finalize());
}

TEST_F(NotifyBridge, CallsAfterFinalizeFindNoAdaptorAndNoPeer) {
    // The server refuses Unregister, so it keeps its reference to the client.
    TarnRef_FailOperation(L"Unregister", E_FAIL);
    ASSERT_EQ(TARNSTUB_OK, Initialize(13));
    ASSERT_TRUE(RegisterPeerCallbacks());
    win::ComPtr<ITARNClient> client = CurrentBridge();
    win::ComPtr<IKestrel> kestrel;
    ASSERT_TRUE(client);
    ASSERT_EQ(S_OK, client.As(&kestrel));
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    ASSERT_EQ(1u, TarnRef_RegistrationCount()) << CallDump();

    EXPECT_EQ(E_FAIL, Await(TarnRef_CallPullData(0)));
    const GUID opId = MakeGuid(2);
    const LONG pacs[] = {5, 7};
    EXPECT_EQ(S_OK, Await(TarnRef_CallPolicyArrival(0, kPolicy)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallOperationArrival(0, &opId, 1, L"late")));
    EXPECT_EQ(S_OK, Await(TarnRef_CallActivatePolicies(0, pacs, 2)));
    EXPECT_EQ(S_OK, Await(TarnRef_CallPushData(0, "abc", 3, L"late")));
    // Without an adaptor the object is no incident receiver any more.
    EXPECT_EQ(E_NOINTERFACE, Await(TarnRef_CallReportIncident(0, L"i", 1, L"a", L"b", L"c", 1, 2, 3, L"d")));
    win::UniqueBstr id = win::UniqueBstr::Copy(L"late-incident");
    EXPECT_EQ(E_FAIL, kestrel->ReportIncident(id.get(), 1, nullptr, nullptr, nullptr, 0, 0, 0, nullptr));

    EXPECT_EQ(0u, recorder_.Total());
    EXPECT_EQ(1u, Entries(L'E', L"TARNClientBridge::PullData: Adaptor pointer is missing")) << LogDump();
    EXPECT_EQ(1u, Entries(L'E', L"TARNClientBridge::ReportIncident: Adaptor pointer i smissing"));
    // Dropped before any logging, like a bridge that never had a peer.
    for (const wchar_t* name :
         {L"PolicyArrivalNotification", L"PushData", L"ActivatePolicies", L"OperationArrivalNotification"})
        EXPECT_EQ(0u, EntriesStartingWith(L"TARNClientBridge::" + std::wstring(name))) << LogDump();
    kestrel.Reset();
    client.Reset();
    TarnRef_Reset();  // releases the server's reference while this module is loaded
}

}  // namespace
