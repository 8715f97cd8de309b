// A client callback object for the reference server's tests: it keeps what
// the server delivered and on which thread.
#pragma once

#include "server/TarnServer.h"
#include "win/raii.h"

#include <atomic>
#include <string>
#include <vector>

class TestClient final : public ITARNClient, public IKestrel {
public:
    explicit TestClient(bool withKestrel) : withKestrel_(withKestrel) {}

    ULONG References() const { return references_; }

    // Set before a PullData: what the client hands over.
    std::string pullBytes;
    std::wstring pullType;

    // Filled by the server's calls.
    DWORD lastThread = 0;
    std::wstring description;
    std::vector<LONG> pacs;
    std::wstring incident;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE PushData(SAFEARRAY*, BSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PullData(SAFEARRAY** payload, BSTR* payloadType) override;
    HRESULT STDMETHODCALLTYPE ServerClosing() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ActivatePolicies(SAFEARRAY* pacList) override;
    HRESULT STDMETHODCALLTYPE GetAvailability() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetActivePolicies(SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PolicyArrivalNotification(BSTR text) override;
    HRESULT STDMETHODCALLTYPE OperationArrivalNotification(GUID, ULONG, BSTR) override {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReportIncident(BSTR incidentId, ULONG incidentType, BSTR, BSTR,
                                             BSTR, LONG value1, ULONG, ULONG, BSTR) override;

private:
    const bool withKestrel_;
    std::atomic<ULONG> references_{1};
};
