// Calls the server makes on its clients' callback objects. Each runs on a
// thread of its own in the multithreaded apartment, as the real server calls
// from its own threads; the starter gets a call id to wait on.
#include "RefState.h"

#include "win/SafeArrayView.h"
#include "win/Text.h"

#include <process.h>

namespace tarnref {
namespace {

struct ClientCallJob {
    win::ComPtr<ITARNClient> client;
    ClientInvocation invoke;
    std::shared_ptr<ClientCall> call;
};

unsigned __stdcall ClientCallThread(void* argument) {
    std::unique_ptr<ClientCallJob> job(static_cast<ClientCallJob*>(argument));
    {
        win::MtaScope mta;
        // The result fields are read only after the done event is set.
        try {
            job->call->result = job->invoke(job->client.Get(), *job->call);
        } catch (...) {
            job->call->result = E_OUTOFMEMORY;  // nothing leaves the thread
        }
        job->client.Reset();
        job->invoke = nullptr;
    }
    ::SetEvent(job->call->done.get());
    job.reset();
    --g_clientCallsInFlight;
    --g_liveObjects;
    return 0;
}

std::shared_ptr<ClientCall> NewClientCall() {
    auto call = std::make_shared<ClientCall>();
    call->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!call->done) return nullptr;
    RefState& state = RefState::Instance();
    win::Lock guard(state.Lock());
    call->id = state.nextCallId++;
    state.clientCalls[call->id] = call;
    return call;
}

void ForgetClientCall(ULONG id) {
    RefState& state = RefState::Instance();
    win::Lock guard(state.Lock());
    state.clientCalls.erase(id);
}

void KeepPulledPayload(ClientCall& call, SAFEARRAY* payload, BSTR payloadType) {
    call.pulledType = win::UniqueBstr::Text(payloadType);
    call.pulledArray = payload != nullptr;
    if (!payload) return;
    const win::SafeArrayView view(payload);
    call.pulledElementType = view.Type();
    if (view.Dimensions() != 1) return;
    const auto bytes = view.Lock<VT_UI1>();
    if (bytes) call.pulledData = text::Utf8ToWide(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

ULONG StartClientCall(win::ComPtr<ITARNClient> client, ClientInvocation invoke) {
    if (!client) return 0;
    std::shared_ptr<ClientCall> call = NewClientCall();
    if (!call) return 0;
    const ULONG id = call->id;
    auto job = std::make_unique<ClientCallJob>(ClientCallJob{client, std::move(invoke), call});
    ++g_liveObjects;
    ++g_clientCallsInFlight;
    const uintptr_t thread = _beginthreadex(nullptr, 0, ClientCallThread, job.get(), 0, nullptr);
    if (thread == 0) {
        --g_clientCallsInFlight;
        --g_liveObjects;
        ForgetClientCall(id);
        return 0;
    }
    job.release();  // the thread owns it now
    win::UniqueHandle handle(reinterpret_cast<HANDLE>(thread));
    return id;
}

std::shared_ptr<ClientCall> FindClientCall(ULONG id) {
    RefState& state = RefState::Instance();
    win::Lock guard(state.Lock());
    const auto found = state.clientCalls.find(id);
    return found == state.clientCalls.end() ? nullptr : found->second;
}

bool WaitClientCall(ULONG id, DWORD timeoutMs) {
    const std::shared_ptr<ClientCall> call = FindClientCall(id);
    return call && ::WaitForSingleObject(call->done.get(), timeoutMs) == WAIT_OBJECT_0;
}

ULONG StartPullData(win::ComPtr<ITARNClient> client) {
    return StartClientCall(std::move(client), [](ITARNClient* target, ClientCall& call) {
        win::UniqueSafeArray payload;
        win::UniqueBstr payloadType;
        const HRESULT hr = target->PullData(payload.put(), payloadType.put());
        KeepPulledPayload(call, payload.get(), payloadType.get());
        return hr;
    });
}

}  // namespace tarnref
