// Provider info: the blade's description of itself, kept and sent again
// after every (re)connection until one complete send has succeeded.
#include <mutex>

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "records/PolicyInfo.h"
#include "records/WideText.h"

HRESULT TarnAdaptor::CollectProviderInfo(const ProviderInfo& info) {
    std::lock_guard<win::CriticalSection> lock(providerInfoLock_);
    WriteLog(LOG_VERBOSE, "TarnAdaptor::CollectProviderInfo", L"Called");
    return SendProviderInfo(info, true);
}

HRESULT TarnAdaptor::SendProviderInfo(const ProviderInfo& info, bool save) {
    const char* const kName = "TarnAdaptor::SendProviderInfo";
    std::lock_guard<win::CriticalSection> lock(providerInfoLock_);
    if (!info.IsValid()) {
        WriteLog(LOG_ERROR, kName, L"Provider info is not valid. Exiting");
        ReportError(adaptor_error::kInvalidArgument, L"Provider info is not valid.");
        return adaptor_error::kInvalidArgument;
    }
    if (save) {
        WriteLog(LOG_VERBOSE, kName, L"Provider info saved");
        // Copied before the connection is checked: a description given while
        // disconnected is sent on the next connection.
        context_->lastProviderInfo = info;
    }
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return adaptor_error::kNotConnected;
    if (IsEqualGUID(bladeGuid_, GUID_NULL)) {
        const std::wstring text = records::FormatWide(
            L"Blade: %u, has no GUID defined or GUID was not set yet, not sending providerInfo",
            static_cast<ULONG>(bladeType_));
        WriteLog(LOG_ERROR, kName, L"%s", text.c_str());
        ReportError(adaptor_error::kProviderInfoNotSent, text);
        return adaptor_error::kProviderInfoNotSent;
    }
    if (!providerRegistered_) {
        const HRESULT hr = server->RegisterProvider(bladeGuid_);
        if (FAILED(hr)) {
            const std::wstring text = records::FormatWide(
                L"RegisterProvider call failed, not sending providerInfo. BladeGuid: %s, hr: 0x%08x",
                GuidToString(bladeGuid_).c_str(), hr);
            WriteLog(LOG_ERROR, kName, L"%s", text.c_str());
            ReportError(adaptor_error::kServerCallFailed, text);
            return adaptor_error::kServerCallFailed;
        }
        providerRegistered_ = true;
        WriteLog(LOG_ERROR, kName, L"%s",
                 records::FormatWide(L"RegisterProvider succeeded for blade: %u, bladeGuid=%s",
                                     static_cast<ULONG>(bladeType_), GuidToString(bladeGuid_).c_str())
                     .c_str());
    }
    if (!info.properties.empty() || !info.xmlChunks.empty()) {
        win::UniqueSafeArray table;
        if (!info.GetPropertiesSafeArray(table))
            return ProviderInfoNotSent(L"ProviderInfo::GetPropertiesSafeArray call failed, not sending providerInfo");
        const HRESULT hr = ProviderTableSent(L"SetProperties", server->SetProperties(bladeGuid_, table.get()),
                                             L"SetProperties call failed");
        if (FAILED(hr)) return hr;
    }
    if (!info.notifications.empty()) {
        win::UniqueSafeArray table;
        if (!info.GetNotificationsSafeArray(table))
            return ProviderInfoNotSent(
                L"ProviderInfo::GetNotificationsSafeArray call failed, not sending providerInfo");
        const HRESULT hr =
            ProviderTableSent(L"SetNotification", server->SetNotification(bladeGuid_, table.get()),
                              L"SetNotification call failed, not sending providerInfo");
        if (FAILED(hr)) return hr;
    }
    if (sendLastProviderInfo_) {
        WriteLog(LOG_VERBOSE, kName, L"Send last provider info flag was set. Clearing it");
        sendLastProviderInfo_ = false;
    }
    return S_OK;
}

// The outcome of one table sent to the server (SetProperties or
// SetNotification): its log line, and the peer's report on failure.
HRESULT TarnAdaptor::ProviderTableSent(const wchar_t* method, HRESULT hr, const wchar_t* failureText) {
    const char* const kName = "TarnAdaptor::SendProviderInfo";
    if (FAILED(hr)) {
        WriteLog(LOG_ERROR, kName, L"Send providerInfo - %s - call failed, hr: 0x%08x", method, hr);
        ReportError(adaptor_error::kServerCallFailed, failureText);
        return adaptor_error::kServerCallFailed;
    }
    WriteLog(LOG_VERBOSE, kName, L"Send providerInfo - %s - succeeded", method);
    return S_OK;
}

HRESULT TarnAdaptor::ProviderInfoNotSent(const wchar_t* text) {
    WriteLog(LOG_ERROR, "TarnAdaptor::SendProviderInfo", L"%s", text);
    ReportError(adaptor_error::kProviderInfoNotSent, text);
    return adaptor_error::kProviderInfoNotSent;
}

void TarnAdaptor::OnSuccesfullConnectToTarn() {
    const char* const kName = "TarnAdaptor::OnSuccesfullConnectToTarn";
    std::lock_guard<win::CriticalSection> lock(providerInfoLock_);
    WriteLog(LOG_VERBOSE, kName, L"Enter");
    // A new connection needs a new provider registration.
    providerRegistered_ = false;
    if (context_->lastProviderInfo.IsValid()) {
        sendLastProviderInfo_ = true;
        WriteLog(LOG_VERBOSE, kName, L"Trying to send last saved provider info");
        SendProviderInfo(context_->lastProviderInfo, false);
    } else {
        sendLastProviderInfo_ = false;
    }
    WriteLog(LOG_VERBOSE, kName, L"Exit");
}

void TarnAdaptor::ResendProviderInfoIfPending() {
    std::lock_guard<win::CriticalSection> lock(providerInfoLock_);
    if (!sendLastProviderInfo_) return;
    WriteLog(LOG_VERBOSE, "TarnAdaptor::TARNMonitorPorocedure", L"MonitorThread: Trying to send last saved provider info");
    SendProviderInfo(context_->lastProviderInfo, false);
}
