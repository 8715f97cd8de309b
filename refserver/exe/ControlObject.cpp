#include "ControlObject.h"

#include "RefState.h"
#include "ServerLifetime.h"
#include "tarnref.h"

#include <new>
#include <string>

namespace tarnref {
namespace {

HRESULT CopyText(const std::wstring& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = win::UniqueBstr::Copy(text).release();
    return *out ? S_OK : E_OUTOFMEMORY;
}

// For the methods that build texts here: nothing is thrown out of a COM call.
template <typename Work>
HRESULT Guarded(Work&& work) {
    try {
        return work();
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

template <typename T>
HRESULT Answer(T* out, T value) {
    if (!out) return E_POINTER;
    *out = value;
    return S_OK;
}

// A text the C functions hand out through a caller's buffer.
template <typename Reader>
std::wstring ReadText(Reader&& read) {
    const ULONG length = read(nullptr, 0);
    std::wstring text(length + 1, L'\0');
    read(&text[0], length + 1);
    text.resize(length);
    return text;
}

class ControlObject final : public ITarnRefControl, public IExternalConnection {
public:
    // owner: the process that created it.
    explicit ControlObject(ULONG owner) : connections_(owner) { ++g_liveObjects; }
    ~ControlObject() { --g_liveObjects; }
    ControlObject(const ControlObject&) = delete;
    ControlObject& operator=(const ControlObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITarnRefControl)) {
            *object = static_cast<ITarnRefControl*>(this);
        } else if (IsEqualIID(iid, IID_IExternalConnection)) {
            *object = static_cast<IExternalConnection*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG remaining = --references_;
        if (remaining == 0) delete this;
        return remaining;
    }
    // While a client holds the object, the server keeps running.
    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD) override { return connections_.Add(type); }
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD, BOOL) override { return connections_.Release(type); }

    HRESULT STDMETHODCALLTYPE SetPrepareReplySize(ULONG bytes) override {
        TarnRef_SetPrepareReplySize(bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetClassObjectSideEffect(INT kind, const WCHAR* arg) override {
        TarnRef_SetClassObjectSideEffect(kind, arg);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClassObjectRequests(ULONG* count) override {
        return Answer(count, TarnRef_ClassObjectRequests());
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        TarnRef_Reset();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE FailOperation(const WCHAR* operation, HRESULT hr) override {
        TarnRef_FailOperation(operation, hr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetResult(const WCHAR* operation, HRESULT hr) override {
        TarnRef_SetResult(operation, hr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPolicyContent(LONG policyType, LONG pac, ULONG size, const BYTE* bytes) override {
        TarnRef_SetPolicyContent(policyType, pac, bytes, bytes ? size : 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPolicyContentById(const GUID* policyId, ULONG size, const BYTE* bytes) override {
        TarnRef_SetPolicyContentById(policyId, bytes, bytes ? size : 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetActivationsArray(LPSAFEARRAY array) override {
        TarnRef_SetActivationsArray(array);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBladeMessageResponse(LPSAFEARRAY table) override {
        TarnRef_SetBladeMessageResponse(table);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetBladeMessageEcho() override {
        TarnRef_SetBladeMessageEcho();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetDownloadFileName(const WCHAR* fileName) override {
        TarnRef_SetDownloadFileName(fileName);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetCaCertFingerPrint(const WCHAR* caCertFP, const WCHAR* caCertFPEng) override {
        TarnRef_SetCaCertFingerPrint(caCertFP, caCertFPEng);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnableInterface(INT iface, BOOL enabled) override {
        TarnRef_EnableInterface(iface, enabled);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetDead(BOOL dead) override {
        TarnRef_SetDead(dead);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Restart() override {
        TarnRef_Restart();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LastCookie(ULONG* cookie) override { return Answer(cookie, TarnRef_LastCookie()); }
    HRESULT STDMETHODCALLTYPE RegistrationCount(ULONG* count) override {
        return Answer(count, TarnRef_RegistrationCount());
    }
    HRESULT STDMETHODCALLTYPE IsProviderRegistered(const GUID* bladeGuid, BOOL* registered) override {
        return Answer(registered, TarnRef_IsProviderRegistered(bladeGuid));
    }
    HRESULT STDMETHODCALLTYPE PayloadPollCount(ULONG* count) override {
        return Answer(count, TarnRef_PayloadPollCount());
    }
    HRESULT STDMETHODCALLTYPE SetPullOnTrigger(BOOL enabled) override {
        TarnRef_SetPullOnTrigger(enabled);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSyncPullOnTrigger(BOOL enabled) override {
        TarnRef_SetSyncPullOnTrigger(enabled);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE LastPullCall(ULONG* callId) override { return Answer(callId, TarnRef_LastPullCall()); }
    HRESULT STDMETHODCALLTYPE CallPolicyArrival(ULONG cookie, const WCHAR* description, ULONG* callId) override {
        return Answer(callId, TarnRef_CallPolicyArrival(cookie, description));
    }
    HRESULT STDMETHODCALLTYPE CallOperationArrival(ULONG cookie, const GUID* opId, ULONG opType, const WCHAR* content,
                                                   ULONG* callId) override {
        return Answer(callId, TarnRef_CallOperationArrival(cookie, opId, opType, content));
    }
    HRESULT STDMETHODCALLTYPE CallActivatePoliciesArray(ULONG cookie, LPSAFEARRAY array, ULONG* callId) override {
        return Answer(callId, TarnRef_CallActivatePoliciesArray(cookie, array));
    }
    HRESULT STDMETHODCALLTYPE CallPushDataArray(ULONG cookie, LPSAFEARRAY payload, const WCHAR* payloadType,
                                                ULONG* callId) override {
        return Answer(callId, TarnRef_CallPushDataArray(cookie, payload, payloadType));
    }
    HRESULT STDMETHODCALLTYPE CallPullData(ULONG cookie, ULONG* callId) override {
        return Answer(callId, TarnRef_CallPullData(cookie));
    }
    HRESULT STDMETHODCALLTYPE CallReportIncident(ULONG cookie, const WCHAR* incidentId, ULONG incidentType,
                                                 const WCHAR* detail1, const WCHAR* detail2, const WCHAR* detail3,
                                                 LONG value1, ULONG value2, ULONG value3, const WCHAR* detail4,
                                                 ULONG* callId) override {
        return Answer(callId, TarnRef_CallReportIncident(cookie, incidentId, incidentType, detail1, detail2, detail3,
                                                         value1, value2, value3, detail4));
    }
    HRESULT STDMETHODCALLTYPE WaitCall(ULONG callId, DWORD timeoutMs, HRESULT* result, BOOL* returned) override {
        if (!result || !returned) return E_POINTER;
        *result = E_PENDING;
        *returned = TarnRef_WaitCall(callId, timeoutMs, result);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPulledPayload(ULONG callId, BSTR* type, BSTR* data, VARTYPE* elementType,
                                               BOOL* pulled) override {
        if (!type || !data || !elementType || !pulled) return E_POINTER;
        *type = *data = nullptr;
        *elementType = VT_EMPTY;
        *pulled = FALSE;
        const std::shared_ptr<ClientCall> call = FindClientCall(callId);
        if (!call || !WaitClientCall(callId, 0) || !call->pulledArray) return S_OK;
        *elementType = call->pulledElementType;
        *pulled = TRUE;
        const HRESULT hr = CopyText(call->pulledType, type);
        return FAILED(hr) ? hr : CopyText(call->pulledData, data);
    }
    HRESULT STDMETHODCALLTYPE StartStream(ULONG cookie, INT kind, ULONG count, const WCHAR* payloadType,
                                          ULONG* streamId) override {
        return Answer(streamId, TarnRef_StartStream(cookie, kind, count, payloadType));
    }
    HRESULT STDMETHODCALLTYPE WaitStream(ULONG streamId, DWORD timeoutMs, ULONG* made, ULONG* failed,
                                         BOOL* finished) override {
        if (!made || !failed || !finished) return E_POINTER;
        *finished = TarnRef_WaitStream(streamId, timeoutMs, made, failed);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CallCount(ULONG* count) override { return Answer(count, TarnRef_CallCount()); }
    HRESULT STDMETHODCALLTYPE GetCallLine(ULONG index, BSTR* line) override {
        return Guarded([&] {
            return CopyText(
                ReadText([&](wchar_t* buffer, ULONG capacity) { return TarnRef_GetCallLine(index, buffer, capacity); }),
                line);
        });
    }
    HRESULT STDMETHODCALLTYPE GetCallRecord(BSTR* record) override {
        return Guarded([&] {
            return CopyText(
                ReadText([](wchar_t* buffer, ULONG capacity) { return TarnRef_GetCallRecord(buffer, capacity); }),
                record);
        });
    }
    HRESULT STDMETHODCALLTYPE ClearCallRecord() override {
        TarnRef_ClearCallRecord();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CountCalls(const WCHAR* operation, ULONG* count) override {
        return Answer(count, TarnRef_CountCalls(operation));
    }
    HRESULT STDMETHODCALLTYPE WaitForCalls(const WCHAR* operation, ULONG count, DWORD timeoutMs,
                                           BOOL* reached) override {
        return Answer(reached, TarnRef_WaitForCalls(operation, count, timeoutMs));
    }
    HRESULT STDMETHODCALLTYPE ProcessId(ULONG* processId) override {
        return Answer(processId, static_cast<ULONG>(::GetCurrentProcessId()));
    }
    HRESULT STDMETHODCALLTYPE ExitNow() override { ExitServerNow(); }
    HRESULT STDMETHODCALLTYPE ExitDuring(const WCHAR* operation) override {
        SetExitDuring(operation);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
    ConnectionCount connections_;
};

class ControlClassFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
            return E_NOINTERFACE;
        }
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG remaining = --references_;
        if (remaining == 0) delete this;
        return remaining;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        win::ComPtr<ITarnRefControl> control;
        control.Attach(new (std::nothrow) ControlObject(CallerProcessId()));
        if (!control) return E_OUTOFMEMORY;
        return control->QueryInterface(iid, object);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        ServerLifetime::Instance().Lock(lock != FALSE);
        return S_OK;
    }

private:
    std::atomic<ULONG> references_{1};
};

}  // namespace

IClassFactory* NewControlClassFactory() { return new (std::nothrow) ControlClassFactory(); }

}  // namespace tarnref
