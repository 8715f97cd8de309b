// The functions of tarnref.h for the reference server in its own process:
// each one is a call of the server's control object (ITarnRefControl), made
// through ClientConnection. Arrays the in-process functions build from plain
// C arguments are built here and sent whole.
#include "ClassRegistration.h"
#include "ClientConnection.h"
#include "RefArrays.h"
#include "tarnref.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using tarnref_client::WithControl;

namespace {

// Calls a control method that hands back one value; 0 (or FALSE) when the
// call fails.
template <typename T, typename Method>
T Value(Method&& method) {
    T value{};
    if (FAILED(WithControl([&](ITarnRefControl* control) { return method(control, &value); }))) {
        return T{};
    }
    return value;
}

template <typename Method>
void Do(Method&& method) {
    WithControl([&](ITarnRefControl* control) { return method(control); });
}

ULONG CopyToBuffer(const wchar_t* text, UINT length, wchar_t* buffer, ULONG capacity) {
    if (buffer && capacity > 0) {
        const ULONG copied = std::min<ULONG>(length, capacity - 1);
        if (copied) std::memcpy(buffer, text, copied * sizeof(wchar_t));
        buffer[copied] = L'\0';
    }
    return length;
}

ULONG CopyToBuffer(const win::UniqueBstr& text, wchar_t* buffer, ULONG capacity) {
    return CopyToBuffer(text.get() ? text.get() : L"", text.length(), buffer, capacity);
}

HRESULT CallProxyEntry(const char* name) {
    win::UniqueModule proxy(::LoadLibraryW(tarnref_client::FileBesideClient(L"TarnProxy.dll").c_str()));
    if (!proxy) return HRESULT_FROM_WIN32(::GetLastError());
    using Entry = HRESULT(STDAPICALLTYPE*)();
    const auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(proxy.get(), name)));
    return entry ? entry() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
}

std::wstring ServerPath() { return tarnref_client::FileBesideClient(L"TarnRefServer.exe"); }

}  // namespace

extern "C" {

void __cdecl TarnRef_SetPrepareReplySize(ULONG bytes) {
    Do([&](ITarnRefControl* c) { return c->SetPrepareReplySize(bytes); });
}

void __cdecl TarnRef_SetClassObjectSideEffect(int kind, const wchar_t* arg) {
    Do([&](ITarnRefControl* c) { return c->SetClassObjectSideEffect(kind, arg); });
}

ULONG __cdecl TarnRef_ClassObjectRequests(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->ClassObjectRequests(v); });
}

void __cdecl TarnRef_Reset(void) {
    Do([](ITarnRefControl* c) { return c->Reset(); });
}

void __cdecl TarnRef_FailOperation(const wchar_t* operation, HRESULT hr) {
    Do([&](ITarnRefControl* c) { return c->FailOperation(operation, hr); });
}

void __cdecl TarnRef_SetResult(const wchar_t* operation, HRESULT hr) {
    Do([&](ITarnRefControl* c) { return c->SetResult(operation, hr); });
}

void __cdecl TarnRef_SetPolicyContent(LONG policyType, LONG pac, const void* bytes, ULONG size) {
    const BYTE* data = static_cast<const BYTE*>(bytes);
    Do([&](ITarnRefControl* c) { return c->SetPolicyContent(policyType, pac, data ? size : 0, data); });
}

void __cdecl TarnRef_SetPolicyContentById(const GUID* policyId, const void* bytes, ULONG size) {
    if (!policyId) return;
    const BYTE* data = static_cast<const BYTE*>(bytes);
    Do([&](ITarnRefControl* c) { return c->SetPolicyContentById(policyId, data ? size : 0, data); });
}

void __cdecl TarnRef_SetActivations(const LONG* pacs, ULONG count) {
    win::UniqueSafeArray array = tarnref::MakeLongArray(pacs, count);
    if (!array) return;
    Do([&](ITarnRefControl* c) { return c->SetActivationsArray(array.get()); });
}

void __cdecl TarnRef_SetActivationsArray(SAFEARRAY* array) {
    Do([&](ITarnRefControl* c) { return c->SetActivationsArray(array); });
}

void __cdecl TarnRef_SetBladeMessageResponse(SAFEARRAY* table) {
    Do([&](ITarnRefControl* c) { return c->SetBladeMessageResponse(table); });
}

void __cdecl TarnRef_SetBladeMessageResponseRows(const wchar_t* const* cells, ULONG rows) {
    std::vector<std::wstring> texts;
    for (ULONG i = 0; i < 3 * rows; ++i) texts.push_back(cells && cells[i] ? cells[i] : L"");
    win::UniqueSafeArray table = tarnref::MakeTextTable(texts, rows);
    Do([&](ITarnRefControl* c) { return c->SetBladeMessageResponse(table.get()); });
}

void __cdecl TarnRef_SetBladeMessageEcho(void) {
    Do([](ITarnRefControl* c) { return c->SetBladeMessageEcho(); });
}

void __cdecl TarnRef_SetDownloadFileName(const wchar_t* fileName) {
    Do([&](ITarnRefControl* c) { return c->SetDownloadFileName(fileName); });
}

void __cdecl TarnRef_SetCaCertFingerPrint(const wchar_t* caCertFP, const wchar_t* caCertFPEng) {
    Do([&](ITarnRefControl* c) { return c->SetCaCertFingerPrint(caCertFP, caCertFPEng); });
}

void __cdecl TarnRef_EnableInterface(int iface, BOOL enabled) {
    Do([&](ITarnRefControl* c) { return c->EnableInterface(iface, enabled); });
}

void __cdecl TarnRef_SetDead(BOOL dead) {
    Do([&](ITarnRefControl* c) { return c->SetDead(dead); });
}

void __cdecl TarnRef_Restart(void) {
    Do([](ITarnRefControl* c) { return c->Restart(); });
}

ULONG __cdecl TarnRef_LastCookie(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->LastCookie(v); });
}

ULONG __cdecl TarnRef_RegistrationCount(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->RegistrationCount(v); });
}

BOOL __cdecl TarnRef_IsProviderRegistered(const GUID* bladeGuid) {
    if (!bladeGuid) return FALSE;
    return Value<BOOL>([&](ITarnRefControl* c, BOOL* v) { return c->IsProviderRegistered(bladeGuid, v); });
}

ULONG __cdecl TarnRef_PayloadPollCount(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->PayloadPollCount(v); });
}

void __cdecl TarnRef_SetPullOnTrigger(BOOL enabled) {
    Do([&](ITarnRefControl* c) { return c->SetPullOnTrigger(enabled); });
}

void __cdecl TarnRef_SetSyncPullOnTrigger(BOOL enabled) {
    Do([&](ITarnRefControl* c) { return c->SetSyncPullOnTrigger(enabled); });
}

ULONG __cdecl TarnRef_LastPullCall(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->LastPullCall(v); });
}

ULONG __cdecl TarnRef_CallPolicyArrival(ULONG cookie, const wchar_t* description) {
    return Value<ULONG>([&](ITarnRefControl* c, ULONG* v) { return c->CallPolicyArrival(cookie, description, v); });
}

ULONG __cdecl TarnRef_CallOperationArrival(ULONG cookie, const GUID* opId, ULONG opType, const wchar_t* content) {
    return Value<ULONG>(
        [&](ITarnRefControl* c, ULONG* v) { return c->CallOperationArrival(cookie, opId, opType, content, v); });
}

ULONG __cdecl TarnRef_CallActivatePolicies(ULONG cookie, const LONG* pacs, ULONG count) {
    win::UniqueSafeArray array = tarnref::MakeLongArray(pacs, count);
    if (!array) return 0;
    return TarnRef_CallActivatePoliciesArray(cookie, array.get());
}

ULONG __cdecl TarnRef_CallActivatePoliciesArray(ULONG cookie, SAFEARRAY* array) {
    return Value<ULONG>([&](ITarnRefControl* c, ULONG* v) { return c->CallActivatePoliciesArray(cookie, array, v); });
}

ULONG __cdecl TarnRef_CallPushData(ULONG cookie, const void* bytes, ULONG size, const wchar_t* payloadType) {
    win::UniqueSafeArray payload = tarnref::MakeByteArray(bytes, size);
    if (!payload) return 0;
    return TarnRef_CallPushDataArray(cookie, payload.get(), payloadType);
}

ULONG __cdecl TarnRef_CallPushDataArray(ULONG cookie, SAFEARRAY* payload, const wchar_t* payloadType) {
    return Value<ULONG>(
        [&](ITarnRefControl* c, ULONG* v) { return c->CallPushDataArray(cookie, payload, payloadType, v); });
}

ULONG __cdecl TarnRef_CallPullData(ULONG cookie) {
    return Value<ULONG>([&](ITarnRefControl* c, ULONG* v) { return c->CallPullData(cookie, v); });
}

ULONG __cdecl TarnRef_CallReportIncident(ULONG cookie, const wchar_t* incidentId, ULONG incidentType,
                                         const wchar_t* detail1, const wchar_t* detail2, const wchar_t* detail3,
                                         LONG value1, ULONG value2, ULONG value3, const wchar_t* detail4) {
    return Value<ULONG>([&](ITarnRefControl* c, ULONG* v) {
        return c->CallReportIncident(cookie, incidentId, incidentType, detail1, detail2, detail3, value1, value2,
                                     value3, detail4, v);
    });
}

BOOL __cdecl TarnRef_WaitCall(ULONG callId, DWORD timeoutMs, HRESULT* result) {
    HRESULT callResult = E_PENDING;
    BOOL returned = FALSE;
    const HRESULT hr =
        WithControl([&](ITarnRefControl* c) { return c->WaitCall(callId, timeoutMs, &callResult, &returned); });
    if (FAILED(hr) || !returned) return FALSE;
    if (result) *result = callResult;
    return TRUE;
}

BOOL __cdecl TarnRef_GetPulledPayload(ULONG callId, wchar_t* type, ULONG typeCapacity, wchar_t* data,
                                      ULONG dataCapacity, VARTYPE* elementType) {
    CopyToBuffer(L"", 0, type, typeCapacity);
    CopyToBuffer(L"", 0, data, dataCapacity);
    win::UniqueBstr pulledType, pulledData;
    VARTYPE vt = VT_EMPTY;
    BOOL pulled = FALSE;
    const HRESULT hr = WithControl([&](ITarnRefControl* c) {
        return c->GetPulledPayload(callId, pulledType.put(), pulledData.put(), &vt, &pulled);
    });
    if (FAILED(hr) || !pulled) return FALSE;
    CopyToBuffer(pulledType, type, typeCapacity);
    CopyToBuffer(pulledData, data, dataCapacity);
    if (elementType) *elementType = vt;
    return TRUE;
}

ULONG __cdecl TarnRef_StartStream(ULONG cookie, int kind, ULONG count, const wchar_t* payloadType) {
    return Value<ULONG>(
        [&](ITarnRefControl* c, ULONG* v) { return c->StartStream(cookie, kind, count, payloadType, v); });
}

BOOL __cdecl TarnRef_WaitStream(ULONG streamId, DWORD timeoutMs, ULONG* made, ULONG* failed) {
    ULONG madeCount = 0, failedCount = 0;
    BOOL finished = FALSE;
    const HRESULT hr = WithControl(
        [&](ITarnRefControl* c) { return c->WaitStream(streamId, timeoutMs, &madeCount, &failedCount, &finished); });
    if (made) *made = SUCCEEDED(hr) ? madeCount : 0;
    if (failed) *failed = SUCCEEDED(hr) ? failedCount : 0;
    return SUCCEEDED(hr) && finished;
}

ULONG __cdecl TarnRef_CallCount(void) {
    return Value<ULONG>([](ITarnRefControl* c, ULONG* v) { return c->CallCount(v); });
}

ULONG __cdecl TarnRef_GetCallLine(ULONG index, wchar_t* buffer, ULONG capacity) {
    win::UniqueBstr line;
    const HRESULT hr = WithControl([&](ITarnRefControl* c) { return c->GetCallLine(index, line.put()); });
    if (FAILED(hr)) line.reset();
    return CopyToBuffer(line, buffer, capacity);
}

ULONG __cdecl TarnRef_GetCallRecord(wchar_t* buffer, ULONG capacity) {
    win::UniqueBstr record;
    const HRESULT hr = WithControl([&](ITarnRefControl* c) { return c->GetCallRecord(record.put()); });
    if (FAILED(hr)) record.reset();
    return CopyToBuffer(record, buffer, capacity);
}

void __cdecl TarnRef_ClearCallRecord(void) {
    Do([](ITarnRefControl* c) { return c->ClearCallRecord(); });
}

ULONG __cdecl TarnRef_CountCalls(const wchar_t* operation) {
    if (!operation) return 0;
    return Value<ULONG>([&](ITarnRefControl* c, ULONG* v) { return c->CountCalls(operation, v); });
}

BOOL __cdecl TarnRef_WaitForCalls(const wchar_t* operation, ULONG count, DWORD timeoutMs) {
    return Value<BOOL>([&](ITarnRefControl* c, BOOL* v) { return c->WaitForCalls(operation, count, timeoutMs, v); });
}

HRESULT __cdecl TarnRef_RegisterServer(void) try {
    const HRESULT hr = CallProxyEntry("DllRegisterServer");
    return FAILED(hr) ? hr : tarnref::RegisterLocalServerClasses(ServerPath());
} catch (...) {
    return E_OUTOFMEMORY;
}

HRESULT __cdecl TarnRef_UnregisterServer(void) try {
    const HRESULT server = tarnref::UnregisterLocalServerClasses();
    const HRESULT proxy = CallProxyEntry("DllUnregisterServer");
    return FAILED(server) ? server : proxy;
} catch (...) {
    return E_OUTOFMEMORY;
}

ULONG __cdecl TarnRef_StartServer(DWORD timeoutMs) { return tarnref_client::StartServerProcess(timeoutMs); }

ULONG __cdecl TarnRef_ServerProcessId(void) { return tarnref_client::RunningServerId(); }

BOOL __cdecl TarnRef_ExitServer(DWORD timeoutMs) {
    if (tarnref_client::RunningServerId() == 0) return TRUE;
    // The call fails as the process ends inside it.
    Do([](ITarnRefControl* c) { return c->ExitNow(); });
    tarnref_client::Disconnect();
    return tarnref_client::WaitKnownServerExit(timeoutMs);
}

void __cdecl TarnRef_ExitDuring(const wchar_t* operation) {
    Do([&](ITarnRefControl* c) { return c->ExitDuring(operation); });
}

void __cdecl TarnRef_Disconnect(void) { tarnref_client::Disconnect(); }

BOOL __cdecl TarnRef_WaitServerExit(DWORD timeoutMs) { return tarnref_client::WaitKnownServerExit(timeoutMs); }

}  // extern "C"
