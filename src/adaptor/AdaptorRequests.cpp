// The adaptor's request methods. Each takes its own reference to the server
// from the context; without a connection it answers 0x80580004 at once.
#include "adaptor/TarnAdaptor.h"
#include <mutex>

#include "log/AdaptorLog.h"
#include "records/OperationStatusInfo.h"
#include "records/ProviderInfo.h"

namespace {

// The common start of a request method: its "Called" trace and the server
// reference (none when not connected).
win::ComPtr<ITarnServer> BeginRequest(TarnAdaptor& adaptor, const char* name) {
    WriteLog(LOG_VERBOSE, name, L"Called");
    return adaptor.Context()->GetServer();
}

}  // namespace

HRESULT TarnAdaptor::QueryPolicyContent(const PolicyInfo&, std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::QueryPolicyContent")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::QueryCompliance(bool&, bool&) {
    if (!BeginRequest(*this, "TarnAdaptor::QueryCompliance")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::SetOperationStatus(const OperationStatusInfo&) {
    if (!BeginRequest(*this, "TarnAdaptor::SetOperationStatus")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::QueryActivations(std::vector<LONG>&) {
    if (!BeginRequest(*this, "TarnAdaptor::QueryActivations")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::ReportIncident(const std::wstring&, ULONG, const std::wstring&, const std::wstring&,
                                    const std::wstring&, LONG, ULONG, ULONG, const std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::ReportIncident")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::CollectLog(const BYTE*, DWORD) {
    if (!BeginRequest(*this, "TarnAdaptor::CollectLog")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::CollectProviderInfo(const ProviderInfo&) {
    if (!BeginRequest(*this, "TarnAdaptor::CollectProviderInfo")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::CollectPayload(const std::wstring&, const std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::CollectPayload")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::SendBladePayload(const std::wstring&, const std::wstring&, std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::SendBladePayload")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::GetPayload(SAFEARRAY**, BSTR*) { return S_OK; }

HRESULT TarnAdaptor::DownLoadFile(const std::wstring&, std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::DownLoadFile")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

HRESULT TarnAdaptor::GetCaCertFingerPrint(std::wstring&, std::wstring&) {
    if (!BeginRequest(*this, "TarnAdaptor::GetCaCertFingerPrint")) return adaptor_error::kNotConnected;
    return adaptor_error::kNotConnected;
}

void TarnAdaptor::OnSuccesfullConnectToTarn() {
    std::lock_guard<win::CriticalSection> lock(providerInfoLock_);
    WriteLog(LOG_VERBOSE, "TarnAdaptor::OnSuccesfullConnectToTarn", L"Enter");
    providerRegistered_ = false;
    sendLastProviderInfo_ = false;
    WriteLog(LOG_VERBOSE, "TarnAdaptor::OnSuccesfullConnectToTarn", L"Exit");
}

void TarnAdaptor::ResendProviderInfoIfPending() {}

std::vector<std::wstring> TarnAdaptor::SupportedBladeMessageTypes() const { return {}; }
