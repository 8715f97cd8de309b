// The adaptor's request methods. Each takes its own reference to the server
// from the context; without a connection it answers 0x80580004 at once.
#include <optional>

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "records/OperationStatusInfo.h"
#include "records/ProviderInfo.h"
#include "records/SafeArrays.h"
#include "records/WideText.h"
#include "win/SafeArrayView.h"

namespace {

// The common start of a request method: its "Called" trace and the server
// reference (none when not connected).
win::ComPtr<ITarnServer> BeginRequest(TarnAdaptor& adaptor, const char* name) {
    WriteLog(LOG_VERBOSE, name, L"Called");
    return adaptor.Context()->GetServer();
}

// "<method> call failed, hr: 0x...": the level-1 line of a failed server call.
std::wstring CallFailedText(const wchar_t* method, HRESULT hr) {
    return records::FormatWide(L"%s call failed, hr: 0x%08x", method, hr);
}

}  // namespace

HRESULT TarnAdaptor::QueryPolicyContent(const PolicyInfo& info, std::wstring& content) {
    const char* const kName = "TarnAdaptor::QueryPolicyContent";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    win::UniqueSafeArray bytes;
    const bool byId = info.HasId();
    const wchar_t* method = byId ? L"GetPolicyContentById" : L"GetPolicyContent";
    HRESULT hr = byId ? server->GetPolicyContentById(info.id, bytes.put())
                      : server->GetPolicyContent(info.type, info.pac, bytes.put());
    // Content that is not a one-dimensional byte array is never read as one.
    std::optional<std::wstring> text;
    if (SUCCEEDED(hr)) {
        text = safe_arrays::Utf8Text(bytes.get());
        if (!text) hr = E_INVALIDARG;
    }
    if (FAILED(hr))
        return Fail(kName, adaptor_error::kServerCallFailed, CallFailedText(method, hr),
                    std::wstring(method) + L" call failed", LogLine{LOG_VERBOSE, info.ToString()});
    if (win::SafeArrayView(bytes.get()).ElementCount() == 0)
        return Fail(kName, adaptor_error::kPolicyContentEmpty, L"Problem with the policy content(empty)");
    content = std::move(*text);
    return S_OK;
}

HRESULT TarnAdaptor::QueryCompliance(bool& compliant, bool& changed) {
    const char* const kName = "TarnAdaptor::QueryCompliance";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    // The server answers in the bits of the call's own result.
    const HRESULT answer = server->CheckCompliance();
    if (FAILED(answer))
        return Fail(kName, adaptor_error::kServerCallFailed, CallFailedText(L"CheckCompliance", answer),
                    L"QueryCompliance call failed");
    compliant = (answer & 1) != 0;
    changed = (answer & 2) != 0;
    WriteLog(LOG_INFO, kName, L" returned: hr: 0x%08x, compliance_changed: %u, compliant: %u", answer,
             changed ? 1u : 0u, compliant ? 1u : 0u);
    return S_OK;
}

HRESULT TarnAdaptor::SetOperationStatus(const OperationStatusInfo& info) {
    const char* const kName = "TarnAdaptor::SetOperationStatus";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    if (IsEqualGUID(info.GetOpGuid(), GUID_NULL))
        return Fail(kName, adaptor_error::kInvalidArgument, L"Invalid GUID sent: " + info.GetOpGuidString());
    const std::wstring text1 = info.GetOpText1(), text2 = info.GetOpText2();
    win::UniqueBstr bstr1 = win::UniqueBstr::Copy(text1), bstr2 = win::UniqueBstr::Copy(text2);
    HRESULT hr = E_OUTOFMEMORY;
    if (bstr1.get() && bstr2.get())
        hr = server->SetOperationStatus(info.GetOpGuid(), info.GetOpStatus(), bstr1.get(), bstr2.get(),
                                        info.GetOpValue());
    if (SUCCEEDED(hr)) return S_OK;
    return Fail(kName, adaptor_error::kServerCallFailed,
                records::FormatWide(L"SetOperationStatus with opGuid: %s, opStatus: %lu, call failed, hr: 0x%08x. ",
                                    info.GetOpGuidString().c_str(), info.GetOpStatus(), hr),
                L"SetOperationStatus call failed");
}

HRESULT TarnAdaptor::QueryActivations(std::vector<LONG>& pacs) {
    const char* const kName = "TarnAdaptor::QueryActivations";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    win::UniqueSafeArray list;
    HRESULT hr = server->GetActivations(list.put());
    // An answer that is not a one-dimensional VT_I4 array is never read as
    // one: it counts as a failed call.
    std::optional<std::vector<LONG>> values;
    if (SUCCEEDED(hr)) {
        values = safe_arrays::Longs(list.get());
        if (!values) hr = E_INVALIDARG;
    }
    if (FAILED(hr))
        return Fail(kName, adaptor_error::kServerCallFailed, CallFailedText(L"GetActivations", hr),
                    L"GetActivations call failed");
    if (values->empty()) {
        WriteLog(LOG_VERBOSE, kName, L"PAC priority list is empty");
        return S_OK;
    }
    std::wstring text = L"PAC priority list: { ";
    for (size_t i = 0; i < values->size(); ++i)
        text += std::to_wstring((*values)[i]) + (i + 1 < values->size() ? L", " : L" }");
    pacs.insert(pacs.end(), values->begin(), values->end());
    WriteLog(LOG_VERBOSE, kName, L"%s", text.c_str());
    return S_OK;
}

HRESULT TarnAdaptor::ReportIncident(const std::wstring& incidentId, ULONG incidentType, const std::wstring& detail1,
                                    const std::wstring& detail2, const std::wstring& detail3, LONG value1, ULONG value2,
                                    ULONG value3, const std::wstring& detail4) {
    const char* const kName = "TarnAdaptor::ReportIncident";
    WriteLog(LOG_VERBOSE, kName, L"Called");
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) {
        WriteLog(LOG_VERBOSE, kName, L"No TARNInstance exits yet");
        return adaptor_error::kNotConnected;
    }
    win::ComPtr<IKestrel> kestrel;
    if (FAILED(server.As(&kestrel))) {
        WriteLog(LOG_VERBOSE, kName, L"No IKestrel Interface exist");
        return adaptor_error::kInterfaceMissing;
    }
    WriteLog(LOG_VERBOSE, kName, L"ReportIncident will be called. IncidentID: %s IncidentType: %d", incidentId.c_str(),
             static_cast<int>(incidentType));
    // The interface takes BSTRs: the texts travel as real BSTR copies.
    using win::UniqueBstr;
    UniqueBstr id = UniqueBstr::Copy(incidentId), d1 = UniqueBstr::Copy(detail1), d2 = UniqueBstr::Copy(detail2),
               d3 = UniqueBstr::Copy(detail3), d4 = UniqueBstr::Copy(detail4);
    HRESULT hr = E_OUTOFMEMORY;
    if (id.get() && d1.get() && d2.get() && d3.get() && d4.get())
        hr = kestrel->ReportIncident(id.get(), incidentType, d1.get(), d2.get(), d3.get(), value1, value2, value3,
                                     d4.get());
    if (FAILED(hr))
        return Fail(
            kName, adaptor_error::kServerCallFailed,
            records::FormatWide(L"ReportIncident call failed, hr: 0x%08x, IncidentID: %s", hr, incidentId.c_str()),
            L"ReportIncident call failed");
    return hr;
}

HRESULT TarnAdaptor::CollectLog(const BYTE* record, DWORD size) {
    const char* const kName = "TarnAdaptor::CollectLog";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    if (!record || size == 0)
        return Fail(kName, adaptor_error::kInvalidArgument, L"Function called with invalid parameter");
    const auto callFailed = [this, kName](const wchar_t* method, HRESULT hr) {
        return Fail(kName, adaptor_error::kServerCallFailed, CallFailedText(method, hr),
                    std::wstring(method) + L" call failed");
    };
    ULONG queue = 0;
    HRESULT hr = server->LOG_CreateLogQueue(&queue);
    if (FAILED(hr)) return callFailed(L"LOG_CreateLogQueue", hr);
    win::UniqueSafeArray bytes = safe_arrays::FromBytes(record, size);
    hr = bytes ? server->LOG_CreateLogRecord(queue, bytes.get()) : E_OUTOFMEMORY;
    // Only exactly 0 counts: the queue is neither committed nor closed otherwise.
    if (hr != S_OK) return callFailed(L"LOG_CreateLogRecord", hr);
    hr = server->LOG_CommitLogQueue(queue);
    if (hr != S_OK) return callFailed(L"LOG_CommitLogQueue", hr);
    return S_OK;
}

HRESULT TarnAdaptor::DownLoadFile(const std::wstring& url, std::wstring& fileName) {
    const char* const kName = "TarnAdaptor::DownLoadFile";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    win::ComPtr<ITarnDownload> download;
    if (FAILED(server.As(&download))) return adaptor_error::kInterfaceMissing;
    win::UniqueBstr name = win::UniqueBstr::Copy(L"NoFname");
    win::UniqueBstr urlCopy = win::UniqueBstr::Copy(url);
    const HRESULT hr =
        (name.get() && urlCopy.get()) ? download->DownloadFile(urlCopy.get(), name.put_in_out()) : E_OUTOFMEMORY;
    if (FAILED(hr))
        return Fail(kName, adaptor_error::kServerCallFailed,
                    records::FormatWide(L"DownloadFile call failed, hr: 0x%08x, URL: [%s] ", hr, url.c_str()),
                    L"DownLoadFile call failed");
    fileName.assign(name.get() ? name.get() : L"", name.length());
    return hr;
}

HRESULT TarnAdaptor::GetCaCertFingerPrint(std::wstring& caCertFP, std::wstring& caCertFPEng) {
    const char* const kName = "TarnAdaptor::GetCaCertFingerPrint";
    win::ComPtr<ITarnServer> server = BeginRequest(*this, kName);
    if (!server) return adaptor_error::kNotConnected;
    win::ComPtr<ITarnCertificate> certificate;
    if (FAILED(server.As(&certificate))) return adaptor_error::kInterfaceMissing;
    win::UniqueBstr first = win::UniqueBstr::Copy(L""), second = win::UniqueBstr::Copy(L"");
    const HRESULT hr = (first.get() && second.get())
                           ? certificate->GetCaCertFingerPrint(first.put_in_out(), second.put_in_out())
                           : E_OUTOFMEMORY;
    if (FAILED(hr))
        return Fail(kName, adaptor_error::kServerCallFailed, CallFailedText(L"GetCaCertFingerPrint", hr),
                    L"GetCaCertFingerPrint call failed");
    caCertFP.assign(first.get() ? first.get() : L"", first.length());
    caCertFPEng.assign(second.get() ? second.get() : L"", second.length());
    WriteLog(LOG_VERBOSE, kName, L"%s",
             (L"GetCaCertFingerPrint succeeded caCertFP: " + caCertFP + L", caCertFPEng: " + caCertFPEng).c_str());
    return hr;
}
