// Blade messages through the Tarn server, and the payload exchange built on
// them: payloads a blade collects for the server's pull, and blade payloads
// sent as blade messages.
#include <mutex>

#include "adaptor/SafeArrays.h"
#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "records/WideText.h"
#include "win/Text.h"

namespace {

constexpr char kSendBladeMessage[] = "TarnAdaptor::SendBladeMessage";

// The supported blade message table is appended to by SendBladePayload under
// the module lock, but every connection attempt lists it from the monitor
// thread, which does not hold that lock. This lock keeps the listing from
// meeting an append that moves the table's storage. There is one adaptor per
// process, so one lock serves.
win::CriticalSection g_bladeMessageTableLock;

}  // namespace

int TarnAdaptor::FindMessageType(const std::wstring& msgType) const {
    for (size_t i = 0; i < SupportedBladeMessages.size(); ++i)
        if (SupportedBladeMessages[i].first == msgType) return static_cast<int>(i);
    return -1;
}

std::vector<std::wstring> TarnAdaptor::SupportedBladeMessageTypes() const {
    std::lock_guard<win::CriticalSection> lock(g_bladeMessageTableLock);
    std::vector<std::wstring> types;
    for (const auto& entry : SupportedBladeMessages) types.push_back(entry.first);
    return types;
}

HRESULT TarnAdaptor::BladeMessageRefused(HRESULT code, const std::wstring& text) {
    WriteLog(LOG_ERROR, kSendBladeMessage, L"%s", text.c_str());
    ReportError(code, text);
    return code;
}

HRESULT TarnAdaptor::SendBladeMessage(const BladeMessageRequest& request, BladeMessageResponse& response) {
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return adaptor_error::kNotConnected;
    if (SupportedBladeMessages.empty())
        return BladeMessageRefused(adaptor_error::kBladeMessageNotPossible, L"No blade supported messages were set");
    if (!request.IsInternal())
        return BladeMessageRefused(adaptor_error::kBladeMessageNotPossible,
                                   L"Sending message through TARN to non-internal servers, is not supported");
    if (request.GetMsgType().empty())
        return BladeMessageRefused(adaptor_error::kInvalidArgument, L"Message type is empty");
    const int index = FindMessageType(request.GetMsgType());
    if (index < 0)
        return BladeMessageRefused(
            adaptor_error::kBladeMessageTypeNotSupported,
            records::FormatWide(L"Requested message type: %s, is not found in supported blade message",
                                request.GetMsgType().c_str()));

    const BladeMessageSettings entry = SupportedBladeMessages[static_cast<size_t>(index)].second;
    BladeMessageSettings settings;
    settings.CopyValidated(entry);
    const std::wstring& messageType = entry.GetMsgType();
    if (!request.GetAuthType().empty()) {
        WriteLog(LOG_VERBOSE, kSendBladeMessage, L"Sending blade message, type: %s. Explicit authType: %s, was set in request",
                 messageType.c_str(), request.GetAuthType().c_str());
        settings.SetAuthType(request.GetAuthType());  // an unknown value leaves the entry's
    } else {
        WriteLog(LOG_VERBOSE, kSendBladeMessage, L"Sending blade message, type: %s", messageType.c_str());
    }

    BladeMessageRequestWithSettings withSettings(messageType);
    withSettings.FromRequest(request);
    withSettings.SetSettings(settings);
    win::UniqueSafeArray requestTable;
    HRESULT hr = withSettings.ToPropertyTable(requestTable);
    if (FAILED(hr))
        return BladeMessageRefused(adaptor_error::kRequestTableFailed,
                                   records::FormatWide(L"Failed to create msgReqWithSettingsSA for msgType: %s, hr: 0x%08x",
                                                       messageType.c_str(), hr));
    win::UniqueSafeArray responseTable;
    hr = server->SendBladeMessage(requestTable.get(), responseTable.put());
    if (FAILED(hr))
        return BladeMessageRefused(adaptor_error::kServerCallFailed,
                                   records::FormatWide(L"SendBladeMessage failed. Message Type: %s, hr: 0x%08x",
                                                       request.GetMsgType().c_str(), hr));
    // Whatever the parse could read is handed on; a malformed table leaves
    // the fields it did not reach at their initial values.
    BladeMessageResponse received;
    received.FromPropertyTable(responseTable.get());
    received.CopyInto(response);
    WriteLog(LOG_VERBOSE, kSendBladeMessage, L"Received response from: %s, for message: %s. SendBladeMessage exit code: 0x%08x",
             request.GetDstIpDns().c_str(), response.GetMsgType().c_str(), hr);
    return hr;
}

HRESULT TarnAdaptor::CollectPayload(const std::wstring& payloadType, const std::wstring& payload) {
    const char* const kName = "TarnAdaptor::CollectPayload";
    {
        std::lock_guard<win::CriticalSection> lock(payloadLock_);
        WriteLog(LOG_VERBOSE, kName, L"Called");
        if (payloadType.empty() || payload.empty()) {
            const wchar_t* text = L"Payload type or data is empty. Not collecting payload";
            WriteLog(LOG_ERROR, kName, L"%s", text);
            ReportError(adaptor_error::kInvalidArgument, text);
            return adaptor_error::kInvalidArgument;
        }
        context_->payloadData = payload;
        context_->payloadType = payloadType;
        WriteLog(LOG_VERBOSE, kName, L"Payload collected, type: %s", payloadType.c_str());
    }
    // The payload lock is left before the trigger: a server may pull the
    // payload (PullData takes that lock) before its TriggerPayloadPoll
    // returns. Whichever comes first, the pull empties the pair, so the
    // payload is handed over once.
    return TriggerPayloadPoll();
}

HRESULT TarnAdaptor::TriggerPayloadPoll() {
    const char* const kName = "TarnAdaptor::TriggerPayloadPoll";
    WriteLog(LOG_VERBOSE, kName, L"Called");
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return adaptor_error::kNotConnected;
    const HRESULT hr = server->TriggerPayloadPoll(registrationCookie_);
    if (FAILED(hr)) {
        WriteLog(LOG_ERROR, kName, L"TriggerPayloadPoll call failed, hr: 0x%08x", hr);
        ReportError(adaptor_error::kServerCallFailed, L"TriggerPayloadPoll call failed");
        return adaptor_error::kServerCallFailed;
    }
    WriteLog(LOG_VERBOSE, kName, L"Triggered payload poll");
    return S_OK;
}

HRESULT TarnAdaptor::GetPayload(SAFEARRAY** payload, BSTR* payloadType) {
    const char* const kName = "TarnAdaptor::GetPayload";
    std::lock_guard<win::CriticalSection> lock(payloadLock_);
    if (context_->payloadData.empty() && context_->payloadType.empty()) return S_OK;
    if (!payload || !payloadType) return E_POINTER;
    WriteLog(LOG_VERBOSE, kName, L"Called, payload exists");
    const std::optional<std::string> bytes = text::WideToUtf8(context_->payloadData);
    win::UniqueSafeArray array;
    if (bytes) array = safe_arrays::FromBytes(reinterpret_cast<const BYTE*>(bytes->data()), static_cast<ULONG>(bytes->size()));
    win::UniqueBstr type = win::UniqueBstr::Copy(context_->payloadType);
    if (!array || !type.get()) {
        // The payload stays for a later pull.
        WriteLog(LOG_ERROR, kName, L"Failed to convert payload data to safearray. No payload returned");
        return E_FAIL;
    }
    *payload = array.release();
    *payloadType = type.release();
    WriteLog(LOG_VERBOSE, kName, L"Payload returned, type: %s", context_->payloadType.c_str());
    context_->payloadData.clear();
    context_->payloadType.clear();
    return S_OK;
}

HRESULT TarnAdaptor::SendBladePayload(const std::wstring& payloadType, const std::wstring& payload,
                                      std::wstring& response) {
    const char* const kName = "TarnAdaptor::SendBladePayload";
    if (payloadType.empty() || payload.empty()) {
        WriteLog(LOG_ERROR, kName, L"Payload type or data is empty. Not sending blade payload");
        ReportError(adaptor_error::kInvalidArgument, L"Payload type or data is empty. Not sending payload");
        return adaptor_error::kInvalidArgument;
    }
    if (FindMessageType(payloadType) < 0) {
        BladeMessageSettings settings;
        settings.SetAll(payloadType, L"HTTP", 80, L"NONE", L"DUMMY_PATH");
        std::lock_guard<win::CriticalSection> lock(g_bladeMessageTableLock);
        SupportedBladeMessages.emplace_back(payloadType, settings);
    }
    BladeMessageRequest request(payloadType);
    request.SetReqData(payload);
    request.SetIsPayload(true);
    request.SetDstIpDns(L"INTERNAL");
    BladeMessageResponse answer;
    const HRESULT hr = SendBladeMessage(request, answer);
    if (FAILED(hr)) {
        const std::wstring text =
            records::FormatWide(L"SendBladePayload failed. Payload Type: %s, hr: 0x%08x", payloadType.c_str(), hr);
        WriteLog(LOG_ERROR, kName, L"%s", text.c_str());
        ReportError(adaptor_error::kBladePayloadFailed, text);
        return adaptor_error::kBladePayloadFailed;
    }
    response = answer.GetRespData();
    return S_OK;
}
