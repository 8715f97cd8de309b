// The server object a client gets from CreateForProcess: the main interface
// and the incident, download and certificate interfaces on one object.
#pragma once

#include "RefState.h"
#include "server/TarnServer.h"

#include <atomic>
#include <string>

namespace tarnref {

class RefServerObject final : public ITarnServer,
                              public IKestrel,
                              public ITarnDownload,
                              public ITarnCertificate,
                              public IExternalConnection {
public:
    // generation: the server life the object belongs to; after a restart
    // the object stays disconnected.
    explicit RefServerObject(ULONG generation);
    ~RefServerObject();
    RefServerObject(const RefServerObject&) = delete;
    RefServerObject& operator=(const RefServerObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ITarnServer
    HRESULT STDMETHODCALLTYPE Unregister(ULONG cookie) override;
    HRESULT STDMETHODCALLTYPE Register(ITARNClient* client, ULONG* cookie, LONG bladeType,
                                       SAFEARRAY* policyTypes) override;
    HRESULT STDMETHODCALLTYPE Reserved5() override;
    HRESULT STDMETHODCALLTYPE AddExpectedMessageTypes(ULONG cookie, SAFEARRAY* messageTypes) override;
    HRESULT STDMETHODCALLTYPE GetActivations(SAFEARRAY** pacList) override;
    HRESULT STDMETHODCALLTYPE TriggerPayloadPoll(ULONG cookie) override;
    HRESULT STDMETHODCALLTYPE Reserved9() override;
    HRESULT STDMETHODCALLTYPE RegisterProvider(GUID bladeGuid) override;
    HRESULT STDMETHODCALLTYPE SetProperties(GUID bladeGuid, SAFEARRAY* table) override;
    HRESULT STDMETHODCALLTYPE Reserved12() override;
    HRESULT STDMETHODCALLTYPE Reserved13() override;
    HRESULT STDMETHODCALLTYPE UnRegisterProvider(GUID bladeGuid) override;
    HRESULT STDMETHODCALLTYPE Reserved15() override;
    HRESULT STDMETHODCALLTYPE SetNotification(GUID bladeGuid, SAFEARRAY* table) override;
    HRESULT STDMETHODCALLTYPE Reserved17() override;
    HRESULT STDMETHODCALLTYPE GetPolicyContent(LONG policyType, LONG pac, SAFEARRAY** content) override;
    HRESULT STDMETHODCALLTYPE GetPolicyContentById(GUID policyId, SAFEARRAY** content) override;
    HRESULT STDMETHODCALLTYPE Reserved20() override;
    HRESULT STDMETHODCALLTYPE Reserved21() override;
    HRESULT STDMETHODCALLTYPE LOG_CreateLogQueue(ULONG* queue) override;
    HRESULT STDMETHODCALLTYPE LOG_CreateLogRecord(ULONG queue, SAFEARRAY* record) override;
    HRESULT STDMETHODCALLTYPE LOG_CommitLogQueue(ULONG queue) override;
    HRESULT STDMETHODCALLTYPE Reserved25() override;
    HRESULT STDMETHODCALLTYPE Reserved26() override;
    HRESULT STDMETHODCALLTYPE Reserved27() override;
    HRESULT STDMETHODCALLTYPE Reserved28() override;
    HRESULT STDMETHODCALLTYPE IsAlive(ULONG cookie) override;
    HRESULT STDMETHODCALLTYPE CheckCompliance() override;
    HRESULT STDMETHODCALLTYPE SetOperationStatus(GUID opGuid, ULONG status, BSTR text1, BSTR text2,
                                                 ULONG value) override;
    HRESULT STDMETHODCALLTYPE SendBladeMessage(SAFEARRAY* request, SAFEARRAY** response) override;

    // IKestrel
    HRESULT STDMETHODCALLTYPE ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1, BSTR detail2,
                                             BSTR detail3, LONG value1, ULONG value2, ULONG value3,
                                             BSTR detail4) override;
    // ITarnDownload
    HRESULT STDMETHODCALLTYPE DownloadFile(BSTR url, BSTR* fileName) override;
    // IExternalConnection: out of process, tells the front end whether a
    // client holds the object.
    DWORD STDMETHODCALLTYPE AddConnection(DWORD type, DWORD reserved) override;
    DWORD STDMETHODCALLTYPE ReleaseConnection(DWORD type, DWORD reserved, BOOL lastReleaseCloses) override;
    // ITarnCertificate (Reserved5 is shared with the main interface's slot
    // of the same name: both are placeholders)
    HRESULT STDMETHODCALLTYPE Reserved3() override;
    HRESULT STDMETHODCALLTYPE Reserved4() override;
    HRESULT STDMETHODCALLTYPE Reserved6() override;
    HRESULT STDMETHODCALLTYPE GetCaCertFingerPrint(BSTR* caCertFP, BSTR* caCertFPEng) override;

private:
    template <typename Work>
    HRESULT Serve(const wchar_t* operation, const std::wstring& args, Work&& work);
    HRESULT Placeholder(const wchar_t* operation);

    std::atomic<ULONG> references_{1};
    const ULONG generation_;
    ConnectionCount connections_;
};

}  // namespace tarnref
