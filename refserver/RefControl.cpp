// The control functions of tarnref.h. They only translate plain C arguments
// into the shared state; the server objects read that state on every call.
#include "RefState.h"
#include "tarnref.h"

using namespace tarnref;

namespace {

using Guard = win::Lock;

RefState& State() { return RefState::Instance(); }

std::wstring TextOf(const wchar_t* text) { return text ? text : L""; }

std::string BytesOf(const void* bytes, ULONG size) {
    if (!bytes || size == 0) return std::string();
    return std::string(static_cast<const char*>(bytes), size);
}

// Copies text into a caller's buffer, cut to fit and zero-terminated;
// returns the full length.
ULONG CopyToBuffer(const std::wstring& text, wchar_t* buffer, ULONG capacity) {
    if (buffer && capacity > 0) {
        const size_t copied = text.size() < capacity ? text.size() : capacity - 1;
        text.copy(buffer, copied);
        buffer[copied] = L'\0';
    }
    return static_cast<ULONG>(text.size());
}

// Sets the code an operation answers with in one of the configuration's
// tables; 0 removes the entry.
void SetOrClearOperationCode(std::map<std::wstring, HRESULT> Configuration::* table, const wchar_t* operation,
                             HRESULT hr) {
    if (!operation) return;
    Guard guard(State().Lock());
    std::map<std::wstring, HRESULT>& codes = State().config.*table;
    if (hr == 0) {
        codes.erase(operation);
    } else {
        codes[operation] = hr;
    }
}

win::UniqueSafeArray CopyOfArray(SAFEARRAY* array) {
    win::UniqueSafeArray copy;
    if (array) ::SafeArrayCopy(array, copy.put());
    return copy;
}

bool IsCallOf(const std::wstring& line, const std::wstring& operation) {
    return line.size() > operation.size() && line.compare(0, operation.size(), operation) == 0 &&
           line[operation.size()] == L'(';
}

bool HasReturned(const ClientCall& call, DWORD timeoutMs) {
    return ::WaitForSingleObject(call.done.get(), timeoutMs) == WAIT_OBJECT_0;
}

// Arrays given to a client call are held by the call's closure; std::function
// needs copyable captures, hence the shared owner.
using SharedArray = std::shared_ptr<win::UniqueSafeArray>;

SharedArray ShareArray(win::UniqueSafeArray array) { return std::make_shared<win::UniqueSafeArray>(std::move(array)); }

ULONG CallPushData(ULONG cookie, SharedArray payload, const wchar_t* payloadType) {
    const bool hasType = payloadType != nullptr;
    const std::wstring type = TextOf(payloadType);
    return StartClientCall(State().ClientOf(cookie), [=](ITARNClient* client, ClientCall&) {
        win::UniqueBstr typeText = hasType ? win::UniqueBstr::Copy(type.c_str()) : win::UniqueBstr();
        return client->PushData(payload->get(), typeText.get());
    });
}

win::UniqueBstr OptionalBstr(bool present, const std::wstring& text) {
    return present ? win::UniqueBstr::Copy(text.c_str()) : win::UniqueBstr();
}

}  // namespace

extern "C" {

void __cdecl TarnRef_SetPrepareReplySize(ULONG bytes) {
    Guard guard(State().Lock());
    State().config.prepareReplySize = bytes;
}

void __cdecl TarnRef_SetClassObjectSideEffect(int kind, const wchar_t* arg) {
    Guard guard(State().Lock());
    State().config.sideEffectKind = kind;
    State().config.sideEffectArg = TextOf(arg);
}

ULONG __cdecl TarnRef_ClassObjectRequests(void) { return ClassObjectRequests(); }

void __cdecl TarnRef_Reset(void) { State().Reset(); }

void __cdecl TarnRef_FailOperation(const wchar_t* operation, HRESULT hr) {
    SetOrClearOperationCode(&Configuration::failures, operation, hr);
}

void __cdecl TarnRef_SetResult(const wchar_t* operation, HRESULT hr) {
    SetOrClearOperationCode(&Configuration::results, operation, hr);
}

void __cdecl TarnRef_SetPolicyContent(LONG policyType, LONG pac, const void* bytes, ULONG size) {
    Guard guard(State().Lock());
    State().config.policies[{policyType, pac}] = BytesOf(bytes, size);
}

void __cdecl TarnRef_SetPolicyContentById(const GUID* policyId, const void* bytes, ULONG size) {
    if (!policyId) return;
    Guard guard(State().Lock());
    State().config.policiesById[FormatGuid(*policyId)] = BytesOf(bytes, size);
}

void __cdecl TarnRef_SetActivations(const LONG* pacs, ULONG count) {
    win::UniqueSafeArray array = MakeLongArray(pacs, count);
    if (!array) return;
    Guard guard(State().Lock());
    State().config.activationsFixed = true;
    State().config.activations = std::move(array);
}

void __cdecl TarnRef_SetActivationsArray(SAFEARRAY* array) {
    win::UniqueSafeArray copy = CopyOfArray(array);
    Guard guard(State().Lock());
    State().config.activationsFixed = true;
    State().config.activations = std::move(copy);
}

void __cdecl TarnRef_SetBladeMessageResponse(SAFEARRAY* table) {
    win::UniqueSafeArray copy = CopyOfArray(table);
    Guard guard(State().Lock());
    State().config.responseMode = ResponseMode::Fixed;
    State().config.response = std::move(copy);
}

void __cdecl TarnRef_SetBladeMessageResponseRows(const wchar_t* const* cells, ULONG rows) {
    std::vector<std::wstring> texts;
    for (ULONG i = 0; cells && i < 3 * rows; ++i) texts.push_back(TextOf(cells[i]));
    win::UniqueSafeArray table = MakeTextTable(texts, rows);
    Guard guard(State().Lock());
    State().config.responseMode = ResponseMode::Fixed;
    State().config.response = std::move(table);
}

void __cdecl TarnRef_SetBladeMessageEcho(void) {
    Guard guard(State().Lock());
    State().config.responseMode = ResponseMode::Echo;
    State().config.response.reset();
}

void __cdecl TarnRef_SetDownloadFileName(const wchar_t* fileName) {
    Guard guard(State().Lock());
    State().config.downloadFileName = fileName ? std::optional<std::wstring>(fileName) : std::nullopt;
}

void __cdecl TarnRef_SetCaCertFingerPrint(const wchar_t* caCertFP, const wchar_t* caCertFPEng) {
    Guard guard(State().Lock());
    State().config.caCertFP = TextOf(caCertFP);
    State().config.caCertFPEng = TextOf(caCertFPEng);
}

void __cdecl TarnRef_EnableInterface(int iface, BOOL enabled) {
    Guard guard(State().Lock());
    Configuration& config = State().config;
    if (iface == TARNREF_IFACE_KESTREL) config.kestrelEnabled = enabled != FALSE;
    if (iface == TARNREF_IFACE_DOWNLOAD) config.downloadEnabled = enabled != FALSE;
    if (iface == TARNREF_IFACE_CERTIFICATE) config.certificateEnabled = enabled != FALSE;
}

void __cdecl TarnRef_SetDead(BOOL dead) {
    Guard guard(State().Lock());
    State().dead = dead != FALSE;
}

void __cdecl TarnRef_Restart(void) { State().Restart(); }

ULONG __cdecl TarnRef_LastCookie(void) {
    Guard guard(State().Lock());
    return State().holdings.lastCookie;
}

ULONG __cdecl TarnRef_RegistrationCount(void) {
    Guard guard(State().Lock());
    return static_cast<ULONG>(State().holdings.registrations.size());
}

BOOL __cdecl TarnRef_IsProviderRegistered(const GUID* bladeGuid) {
    if (!bladeGuid) return FALSE;
    Guard guard(State().Lock());
    return State().holdings.providers.count(FormatGuid(*bladeGuid)) ? TRUE : FALSE;
}

ULONG __cdecl TarnRef_PayloadPollCount(void) {
    Guard guard(State().Lock());
    return State().holdings.pollCount;
}

void __cdecl TarnRef_SetPullOnTrigger(BOOL enabled) {
    Guard guard(State().Lock());
    State().config.pullOnTrigger = enabled ? PullMode::Async : PullMode::None;
}

void __cdecl TarnRef_SetSyncPullOnTrigger(BOOL enabled) {
    Guard guard(State().Lock());
    State().config.pullOnTrigger = enabled ? PullMode::Sync : PullMode::None;
}

ULONG __cdecl TarnRef_LastPullCall(void) {
    Guard guard(State().Lock());
    return State().holdings.lastPullCall;
}

ULONG __cdecl TarnRef_CallPolicyArrival(ULONG cookie, const wchar_t* description) {
    const bool present = description != nullptr;
    const std::wstring text = TextOf(description);
    return StartClientCall(State().ClientOf(cookie), [=](ITARNClient* client, ClientCall&) {
        return client->PolicyArrivalNotification(OptionalBstr(present, text).get());
    });
}

ULONG __cdecl TarnRef_CallOperationArrival(ULONG cookie, const GUID* opId, ULONG opType, const wchar_t* content) {
    const GUID id = opId ? *opId : GUID_NULL;
    const bool present = content != nullptr;
    const std::wstring text = TextOf(content);
    return StartClientCall(State().ClientOf(cookie), [=](ITARNClient* client, ClientCall&) {
        return client->OperationArrivalNotification(id, opType, OptionalBstr(present, text).get());
    });
}

ULONG __cdecl TarnRef_CallActivatePolicies(ULONG cookie, const LONG* pacs, ULONG count) {
    win::UniqueSafeArray array = MakeLongArray(pacs, count);
    if (!array) return 0;
    const SharedArray shared = ShareArray(std::move(array));
    return StartClientCall(State().ClientOf(cookie),
                           [=](ITARNClient* client, ClientCall&) { return client->ActivatePolicies(shared->get()); });
}

ULONG __cdecl TarnRef_CallActivatePoliciesArray(ULONG cookie, SAFEARRAY* array) {
    const SharedArray shared = ShareArray(CopyOfArray(array));
    return StartClientCall(State().ClientOf(cookie),
                           [=](ITARNClient* client, ClientCall&) { return client->ActivatePolicies(shared->get()); });
}

ULONG __cdecl TarnRef_CallPushData(ULONG cookie, const void* bytes, ULONG size, const wchar_t* payloadType) {
    win::UniqueSafeArray payload = MakeByteArray(bytes, size);
    if (!payload) return 0;
    return CallPushData(cookie, ShareArray(std::move(payload)), payloadType);
}

ULONG __cdecl TarnRef_CallPushDataArray(ULONG cookie, SAFEARRAY* payload, const wchar_t* payloadType) {
    return CallPushData(cookie, ShareArray(CopyOfArray(payload)), payloadType);
}

ULONG __cdecl TarnRef_CallPullData(ULONG cookie) {
    const ULONG call = StartPullData(State().ClientOf(cookie));
    Guard guard(State().Lock());
    if (call) State().holdings.lastPullCall = call;
    return call;
}

ULONG __cdecl TarnRef_CallReportIncident(ULONG cookie, const wchar_t* incidentId, ULONG incidentType,
                                         const wchar_t* detail1, const wchar_t* detail2, const wchar_t* detail3,
                                         LONG value1, ULONG value2, ULONG value3, const wchar_t* detail4) {
    const wchar_t* given[5] = {incidentId, detail1, detail2, detail3, detail4};
    bool present[5];
    std::wstring texts[5];
    for (int i = 0; i < 5; ++i) {
        present[i] = given[i] != nullptr;
        texts[i] = TextOf(given[i]);
    }
    return StartClientCall(State().ClientOf(cookie), [=](ITARNClient* client, ClientCall&) {
        win::ComPtr<IKestrel> kestrel;
        const HRESULT hr = client->QueryInterface(IID_IKestrel, reinterpret_cast<void**>(kestrel.GetAddressOf()));
        if (FAILED(hr)) return hr;
        return kestrel->ReportIncident(
            OptionalBstr(present[0], texts[0]).get(), incidentType, OptionalBstr(present[1], texts[1]).get(),
            OptionalBstr(present[2], texts[2]).get(), OptionalBstr(present[3], texts[3]).get(), value1, value2, value3,
            OptionalBstr(present[4], texts[4]).get());
    });
}

ULONG __cdecl TarnRef_StartStream(ULONG cookie, int kind, ULONG count, const wchar_t* payloadType) {
    return StartStream(State().ClientOf(cookie), kind, count, payloadType);
}

BOOL __cdecl TarnRef_WaitStream(ULONG streamId, DWORD timeoutMs, ULONG* made, ULONG* failed) {
    const std::shared_ptr<ClientCall> call = FindClientCall(streamId);
    const bool finished = call && HasReturned(*call, timeoutMs);
    if (made) *made = call ? call->streamMade.load() : 0;
    if (failed) *failed = call ? call->streamFailed.load() : 0;
    return finished ? TRUE : FALSE;
}

BOOL __cdecl TarnRef_WaitCall(ULONG callId, DWORD timeoutMs, HRESULT* result) {
    const std::shared_ptr<ClientCall> call = FindClientCall(callId);
    if (!call || !HasReturned(*call, timeoutMs)) return FALSE;
    if (result) *result = call->result;
    return TRUE;
}

BOOL __cdecl TarnRef_GetPulledPayload(ULONG callId, wchar_t* type, ULONG typeCapacity, wchar_t* data,
                                      ULONG dataCapacity, VARTYPE* elementType) {
    CopyToBuffer(L"", type, typeCapacity);
    CopyToBuffer(L"", data, dataCapacity);
    const std::shared_ptr<ClientCall> call = FindClientCall(callId);
    if (!call || !HasReturned(*call, 0) || !call->pulledArray) return FALSE;
    CopyToBuffer(call->pulledType, type, typeCapacity);
    CopyToBuffer(call->pulledData, data, dataCapacity);
    if (elementType) *elementType = call->pulledElementType;
    return TRUE;
}

ULONG __cdecl TarnRef_CallCount(void) {
    Guard guard(State().Lock());
    return static_cast<ULONG>(State().record.size());
}

ULONG __cdecl TarnRef_GetCallLine(ULONG index, wchar_t* buffer, ULONG capacity) {
    RefState& state = State();
    Guard guard(state.Lock());
    return CopyToBuffer(index < state.record.size() ? state.record[index] : std::wstring(), buffer, capacity);
}

ULONG __cdecl TarnRef_GetCallRecord(wchar_t* buffer, ULONG capacity) {
    std::wstring all;
    {
        Guard guard(State().Lock());
        for (const std::wstring& line : State().record) all += line + L"\n";
    }
    return CopyToBuffer(all, buffer, capacity);
}

void __cdecl TarnRef_ClearCallRecord(void) {
    Guard guard(State().Lock());
    State().record.clear();
}

ULONG __cdecl TarnRef_CountCalls(const wchar_t* operation) {
    if (!operation) return 0;
    Guard guard(State().Lock());
    ULONG count = 0;
    for (const std::wstring& line : State().record) count += IsCallOf(line, operation) ? 1 : 0;
    return count;
}

BOOL __cdecl TarnRef_WaitForCalls(const wchar_t* operation, ULONG count, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (TarnRef_CountCalls(operation) >= count) return TRUE;
        if (::GetTickCount64() >= deadline) return FALSE;
        ::Sleep(10);
    }
}

}  // extern "C"
