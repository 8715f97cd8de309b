#include "TestClient.h"

#include <cstring>

HRESULT STDMETHODCALLTYPE TestClient::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITARNClient)) {
        *object = static_cast<ITARNClient*>(this);
    } else if (withKestrel_ && IsEqualIID(iid, IID_IKestrel)) {
        *object = static_cast<IKestrel*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE TestClient::Release() {
    // The tests own their clients on the stack; the count is only observed.
    return --references_;
}

HRESULT STDMETHODCALLTYPE TestClient::PullData(SAFEARRAY** payload, BSTR* payloadType) {
    lastThread = ::GetCurrentThreadId();
    win::UniqueSafeArray array(::SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(pullBytes.size())));
    if (!array) return E_OUTOFMEMORY;
    if (!pullBytes.empty()) {
        win::SafeArrayData data(array.get());
        std::memcpy(data.as<char>(), pullBytes.data(), pullBytes.size());
    }
    *payload = array.release();
    *payloadType = ::SysAllocString(pullType.c_str());
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestClient::ActivatePolicies(SAFEARRAY* pacList) {
    lastThread = ::GetCurrentThreadId();
    VARTYPE vt = VT_EMPTY;
    if (!pacList || FAILED(::SafeArrayGetVartype(pacList, &vt)) || vt != VT_I4) {
        return E_INVALIDARG;
    }
    win::SafeArrayData data(pacList);
    pacs.assign(data.as<LONG>(), data.as<LONG>() + pacList->rgsabound[0].cElements);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestClient::PolicyArrivalNotification(BSTR text) {
    lastThread = ::GetCurrentThreadId();
    description = text ? text : L"(null)";
    return S_OK;
}

HRESULT STDMETHODCALLTYPE TestClient::ReportIncident(BSTR incidentId, ULONG incidentType, BSTR,
                                                     BSTR, BSTR, LONG value1, ULONG, ULONG,
                                                     BSTR) {
    lastThread = ::GetCurrentThreadId();
    incident = std::wstring(incidentId ? incidentId : L"(null)") + L"/" +
               std::to_wstring(incidentType) + L"/" + std::to_wstring(value1);
    return S_FALSE;
}
