// Notifications per second across processes: a thread of TarnRefServer.exe
// makes a stream of calls on the stub's callback object, and each one is
// delivered to the blade's callback. The baseline, in the same run, is the
// same stream from the same server to an empty callback object of this
// process (every method answers S_OK). Both pay the same marshalling; the
// difference is the stub's work: copying, a delivery thread per
// notification, the peer, the log and the blade's callback.
// Two figures per side: notifications per second until the receiver has
// seen the last one (the blade's callback, or the empty object), and the
// rate of the server's calls alone (until its last call returned), which
// shows how long the callback object holds each server thread.
// Usage: notify_bench [notifications per kind] [rounds] [--no-log]
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "BenchClock.h"
#include "BenchServer.h"
#include "tarnstub.h"

namespace {

using bench::Now;
using bench::Seconds;

constexpr DWORD kStreamTimeoutMs = 120000;
constexpr wchar_t kResponseType[] = L"BENCH_RESPONSE";
constexpr ULONG kBatch = 100;  // notifications per stream, one turn of a side

// ---- counting arrivals ------------------------------------------------------

// Counts the arrivals of one stream and signals when the last has come.
class ArrivalCounter {
public:
    ArrivalCounter() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    bool valid() const { return static_cast<bool>(done_); }

    void Expect(ULONG count) {
        ResetEvent(done_.get());
        arrived_ = 0;
        expected_ = count;
    }
    void Arrive() {
        if (++arrived_ == expected_) SetEvent(done_.get());
    }
    bool WaitAll(DWORD timeoutMs) const { return WaitForSingleObject(done_.get(), timeoutMs) == WAIT_OBJECT_0; }
    ULONG arrived() const { return arrived_; }

private:
    win::UniqueHandle done_;
    std::atomic<ULONG> arrived_{0};
    std::atomic<ULONG> expected_{0};
};

ArrivalCounter g_blade;     // the blade's callbacks, behind the stub
ArrivalCounter g_baseline;  // the empty callback object

void TARNSTUB_CALL OnNewPolicy(GUID, LONG, LONG) { g_blade.Arrive(); }
void TARNSTUB_CALL OnNewOperation(GUID, DWORD, BSTR) { g_blade.Arrive(); }
void TARNSTUB_CALL OnActivationStatus(const LONG*, LONG) { g_blade.Arrive(); }
void TARNSTUB_CALL OnPayloadResponse(BSTR, BSTR) { g_blade.Arrive(); }

// ---- the empty callback object ----------------------------------------------

// A callback object that does nothing but count: what the server's calls
// cost without the stub.
class EmptyClient final : public ITARNClient {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid != IID_IUnknown && iid != IID_ITARNClient) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<ITARNClient*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY*, BSTR) override { return Arrived(); }
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY** payload, BSTR* payloadType) override {
        if (payload) *payload = nullptr;
        if (payloadType) *payloadType = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ServerClosing() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY*) override { return Arrived(); }
    HRESULT STDMETHODCALLTYPE GetAvailability() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY** policies) override {
        if (policies) *policies = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR) override { return Arrived(); }
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID, ULONG, BSTR) override { return Arrived(); }

private:
    ~EmptyClient() = default;
    static HRESULT Arrived() {
        g_baseline.Arrive();
        return S_OK;
    }

    std::atomic<ULONG> references_{1};
};

// The empty object registered with the server beside the stub's own
// registration; unregistered when it goes.
class BaselineRegistration {
public:
    bool Register() {
        server_ = bench::CreateServerObject();
        if (!server_) return false;
        win::ComPtr<ITARNClient> client;
        client.Attach(new EmptyClient());
        win::UniqueSafeArray policyTypes(SafeArrayCreateVector(VT_UI4, 0, 0));
        return policyTypes && SUCCEEDED(server_->Register(client.Get(), &cookie_, 12, policyTypes.get()));
    }
    ~BaselineRegistration() {
        if (server_ && cookie_) server_->Unregister(cookie_);
    }
    ULONG cookie() const { return cookie_; }

private:
    win::ComPtr<ITarnServer> server_;
    ULONG cookie_ = 0;
};

// ---- the streams ------------------------------------------------------------

struct Kind {
    int stream;
    const char* name;
    const wchar_t* payloadType;
};

const Kind kKinds[] = {
    {TARNREF_STREAM_POLICIES, "new policy", nullptr},
    {TARNREF_STREAM_OPERATIONS, "new operation", nullptr},
    {TARNREF_STREAM_ACTIVATIONS, "activation list", nullptr},
    {TARNREF_STREAM_PUSHDATA, "payload response", kResponseType},
};

// Two times of one stream, in seconds from its start: until the server's
// thread has made its last call (the call returned; learnt through one more
// control call, on both sides alike), and until the receiver has seen every
// notification. Negative when the stream failed or stalled.
struct StreamTimes {
    double calls = 0;
    double arrivals = 0;
    bool ok() const { return calls >= 0 && arrivals >= 0; }
    StreamTimes& operator+=(const StreamTimes& other) {
        calls += other.calls;
        arrivals += other.arrivals;
        return *this;
    }
};

StreamTimes TimeStream(ULONG cookie, const Kind& kind, ULONG count, ArrivalCounter& counter) {
    const StreamTimes failed{-1.0, -1.0};
    counter.Expect(count);
    const LARGE_INTEGER start = Now();
    const ULONG stream = TarnRef_StartStream(cookie, kind.stream, count, kind.payloadType);
    ULONG made = 0, failures = 0;
    if (!stream || !TarnRef_WaitStream(stream, kStreamTimeoutMs, &made, &failures) || made != count || failures != 0)
        return failed;
    StreamTimes times;
    times.calls = Seconds(start, Now());
    if (!counter.WaitAll(kStreamTimeoutMs)) return failed;
    times.arrivals = Seconds(start, Now());
    return times;
}

int Fail(const char* what) {
    std::fprintf(stderr, "notify_bench: %s\n", what);
    return 1;
}

void RegisterBladeCallbacks() {
    RegisterNewPolicyArrivalNotificationCallback(&OnNewPolicy);
    RegisterNewOperationArrivalNotificationCallback(&OnNewOperation);
    RegisterActivationStatusChangedNotificationCallback(&OnActivationStatus);
    RegisterOnPayloadResponseNotificationCallback(&OnPayloadResponse);
}

// One kind: warm-up, then rounds in which the two sides take turns with
// streams of a batch each, so that both see the same machine state even when
// other work comes and goes; the best round of each side is kept.
int RunKind(const Kind& kind, ULONG count, int rounds, ULONG stubCookie, ULONG baselineCookie) {
    const ULONG warmUp = std::max<ULONG>(1, count / 10);
    if (!TimeStream(stubCookie, kind, warmUp, g_blade).ok() ||
        !TimeStream(baselineCookie, kind, warmUp, g_baseline).ok())
        return Fail("warm-up failed");
    StreamTimes bestStub{1e300, 1e300}, bestBaseline{1e300, 1e300};
    for (int round = 0; round < rounds; ++round) {
        StreamTimes stub, baseline;
        for (ULONG done = 0, batch = 0; done < count; ++batch) {
            const ULONG size = std::min(kBatch, count - done);
            StreamTimes stubPart, baselinePart;
            // Which side goes first changes from batch to batch.
            if (batch % 2 == 0) {
                stubPart = TimeStream(stubCookie, kind, size, g_blade);
                baselinePart = TimeStream(baselineCookie, kind, size, g_baseline);
            } else {
                baselinePart = TimeStream(baselineCookie, kind, size, g_baseline);
                stubPart = TimeStream(stubCookie, kind, size, g_blade);
            }
            if (!stubPart.ok())
                return Fail("a stream to the stub failed or its notifications did not all reach the blade");
            if (!baselinePart.ok()) return Fail("a stream to the empty callback object failed");
            stub += stubPart;
            baseline += baselinePart;
            done += size;
        }
        bestStub.calls = std::min(bestStub.calls, stub.calls);
        bestStub.arrivals = std::min(bestStub.arrivals, stub.arrivals);
        bestBaseline.calls = std::min(bestBaseline.calls, baseline.calls);
        bestBaseline.arrivals = std::min(bestBaseline.arrivals, baseline.arrivals);
    }
    std::printf(
        "%-16s  to the blade's callback %6.0f/s, to the empty object %6.0f/s: ratio %.2f"
        "   (server's calls: to the stub %6.0f/s, to the empty object %6.0f/s: ratio %.2f)\n",
        kind.name, count / bestStub.arrivals, count / bestBaseline.arrivals, bestStub.arrivals / bestBaseline.arrivals,
        count / bestStub.calls, count / bestBaseline.calls, bestStub.calls / bestBaseline.calls);
    return 0;
}

int Run(ULONG count, int rounds) {
    const wchar_t* responseTypes[] = {kResponseType};
    if (SetSupportedPayloadResponseTypes(responseTypes, 1) != TARNSTUB_OK)
        return Fail("SetSupportedPayloadResponseTypes failed");
    TarnRef_Reset();
    if (Initialize(12) != TARNSTUB_OK) return Fail("Initialize(12) failed");
    const ULONG stubCookie = TarnRef_LastCookie();
    RegisterBladeCallbacks();

    BaselineRegistration baseline;
    if (!baseline.Register()) return Fail("the empty callback object cannot be registered");
    if (stubCookie == 0 || stubCookie == baseline.cookie()) return Fail("the stub's registration is unknown");

    std::printf(
        "notifications per second (best of %d rounds); ratio = time through the stub / time to the empty "
        "object\n",
        rounds);
    for (const Kind& kind : kKinds) {
        if (const int failed = RunKind(kind, count, rounds, stubCookie, baseline.cookie())) return failed;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const ULONG count = argc > 1 ? static_cast<ULONG>(std::max(1, std::atoi(argv[1]))) : 500;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool withLog = !(argc > 3 && std::strcmp(argv[3], "--no-log") == 0);
    if (!g_blade.valid() || !g_baseline.valid()) return Fail("events cannot be created");

    bench::ServerSession serverSession;
    if (!serverSession.ready()) return Fail("the reference server cannot be registered or started");
    const std::wstring logDir = bench::MakeBenchDir(L"tarn-notify-bench-");
    bench::ScopedLogDir logDirValue(withLog ? std::optional<std::wstring>(logDir) : std::nullopt);
    std::printf("notify_bench: server %s, %lu notifications per kind x %d rounds, log %s\n", bench::kServerWhere,
                static_cast<unsigned long>(count), rounds, withLog ? "on" : "off");

    // The empty callback object lives in the multithreaded apartment, as the
    // stub's does: the server's calls reach both on RPC threads.
    win::MtaScope mta;
    const int result = Run(count, rounds);
    Finalize();
    TarnRef_Reset();
    if (!serverSession.End()) return Fail("the server process was still held at the end");
    return result;
}
