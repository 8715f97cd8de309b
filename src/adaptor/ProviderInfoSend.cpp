// Provider info: the blade's description of itself, kept and sent again
// after every (re)connection until one complete send has succeeded. Every
// entry point works on the state under the provider info lock; the steps
// below it take that state from their caller.

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "records/PolicyInfo.h"
#include "records/WideText.h"

namespace {

constexpr char kSendProviderInfo[] = "TarnAdaptor::SendProviderInfo";

}  // namespace

HRESULT TarnAdaptor::CollectProviderInfo(const ProviderInfo& info) {
    return context_->WithProviderInfo([&](ProviderInfoState& state) {
        WriteLog(LOG_VERBOSE, "TarnAdaptor::CollectProviderInfo", L"Called");
        return SendProviderInfo(state, info, true);
    });
}

void TarnAdaptor::OnSuccesfullConnectToTarn() {
    const char* const kName = "TarnAdaptor::OnSuccesfullConnectToTarn";
    context_->WithProviderInfo([&](ProviderInfoState& state) {
        WriteLog(LOG_VERBOSE, kName, L"Enter");
        // A new connection needs a new provider registration.
        state.providerRegistered = false;
        if (state.lastProviderInfo.IsValid()) {
            state.sendLastProviderInfo = true;
            WriteLog(LOG_VERBOSE, kName, L"Trying to send last saved provider info");
            SendProviderInfo(state, state.lastProviderInfo, false);
        } else {
            state.sendLastProviderInfo = false;
        }
        WriteLog(LOG_VERBOSE, kName, L"Exit");
    });
}

void TarnAdaptor::ResendProviderInfoIfPending() {
    context_->WithProviderInfo([&](ProviderInfoState& state) {
        if (!state.sendLastProviderInfo) return;
        WriteLog(LOG_VERBOSE, "TarnAdaptor::TARNMonitorPorocedure",
                 L"MonitorThread: Trying to send last saved provider info");
        SendProviderInfo(state, state.lastProviderInfo, false);
    });
}

HRESULT TarnAdaptor::SendProviderInfo(ProviderInfoState& state, const ProviderInfo& info, bool save) {
    if (!info.IsValid())
        return Fail(kSendProviderInfo, adaptor_error::kInvalidArgument, L"Provider info is not valid. Exiting",
                    L"Provider info is not valid.");
    if (save) {
        WriteLog(LOG_VERBOSE, kSendProviderInfo, L"Provider info saved");
        // Copied before the connection is checked: a description given while
        // disconnected is sent on the next connection.
        state.lastProviderInfo = info;
    }
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return adaptor_error::kNotConnected;
    HRESULT hr = RefuseWithoutBladeGuid();
    if (SUCCEEDED(hr)) hr = RegisterProviderOnce(state, *server.Get());
    if (SUCCEEDED(hr)) hr = SendProperties(*server.Get(), info);
    if (SUCCEEDED(hr)) hr = SendNotifications(*server.Get(), info);
    if (FAILED(hr)) return hr;
    if (state.sendLastProviderInfo) {
        WriteLog(LOG_VERBOSE, kSendProviderInfo, L"Send last provider info flag was set. Clearing it");
        state.sendLastProviderInfo = false;
    }
    return S_OK;
}

HRESULT TarnAdaptor::RefuseWithoutBladeGuid() {
    if (!IsEqualGUID(bladeGuid_, GUID_NULL)) return S_OK;
    return Fail(kSendProviderInfo, adaptor_error::kProviderInfoNotSent,
                records::FormatWide(L"Blade: %u, has no GUID defined or GUID was not set yet, not sending providerInfo",
                                    static_cast<ULONG>(bladeType_)));
}

// Once per connection: a failure later in the send does not undo it.
HRESULT TarnAdaptor::RegisterProviderOnce(ProviderInfoState& state, ITarnServer& server) {
    if (state.providerRegistered) return S_OK;
    const HRESULT hr = server.RegisterProvider(bladeGuid_);
    if (FAILED(hr))
        return Fail(
            kSendProviderInfo, adaptor_error::kServerCallFailed,
            records::FormatWide(L"RegisterProvider call failed, not sending providerInfo. BladeGuid: %s, hr: 0x%08x",
                                GuidToString(bladeGuid_).c_str(), hr));
    state.providerRegistered = true;
    // Logged at level 1 like the failures around it, so that it shows at
    // every trace level.
    WriteLog(LOG_ERROR, kSendProviderInfo, L"%s",
             records::FormatWide(L"RegisterProvider succeeded for blade: %u, bladeGuid=%s",
                                 static_cast<ULONG>(bladeType_), GuidToString(bladeGuid_).c_str())
                 .c_str());
    return S_OK;
}

// Properties and XML chunks go together in one table.
HRESULT TarnAdaptor::SendProperties(ITarnServer& server, const ProviderInfo& info) {
    if (info.properties.empty() && info.xmlChunks.empty()) return S_OK;
    win::UniqueSafeArray table;
    if (!info.GetPropertiesSafeArray(table))
        return Fail(kSendProviderInfo, adaptor_error::kProviderInfoNotSent,
                    L"ProviderInfo::GetPropertiesSafeArray call failed, not sending providerInfo");
    return ProviderTableSent(L"SetProperties", server.SetProperties(bladeGuid_, table.get()),
                             L"SetProperties call failed");
}

HRESULT TarnAdaptor::SendNotifications(ITarnServer& server, const ProviderInfo& info) {
    if (info.notifications.empty()) return S_OK;
    win::UniqueSafeArray table;
    if (!info.GetNotificationsSafeArray(table))
        return Fail(kSendProviderInfo, adaptor_error::kProviderInfoNotSent,
                    L"ProviderInfo::GetNotificationsSafeArray call failed, not sending providerInfo");
    return ProviderTableSent(L"SetNotification", server.SetNotification(bladeGuid_, table.get()),
                             L"SetNotification call failed, not sending providerInfo");
}

HRESULT TarnAdaptor::ProviderTableSent(const wchar_t* method, HRESULT hr, const wchar_t* failureText) {
    if (FAILED(hr))
        return Fail(kSendProviderInfo, adaptor_error::kServerCallFailed,
                    records::FormatWide(L"Send providerInfo - %s - call failed, hr: 0x%08x", method, hr), failureText);
    WriteLog(LOG_VERBOSE, kSendProviderInfo, L"Send providerInfo - %s - succeeded", method);
    return S_OK;
}
