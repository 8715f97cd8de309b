// Blade messages through the Tarn server, and the payload exchange built on
// them: payloads a blade collects for the server's pull, and blade payloads
// sent as blade messages.

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "records/SafeArrays.h"
#include "records/WideText.h"
#include "win/Text.h"

namespace {

constexpr char kSendBladeMessage[] = "TarnAdaptor::SendBladeMessage";

}  // namespace

int TarnAdaptor::FindMessageType(const std::wstring& msgType) const { return SupportedBladeMessages.Find(msgType); }

HRESULT TarnAdaptor::SendBladeMessage(const BladeMessageRequest& request, BladeMessageResponse& response) {
    win::ComPtr<ITarnServer> server = context_->GetServer();
    if (!server) return adaptor_error::kNotConnected;
    if (SupportedBladeMessages.Empty())
        return Fail(kSendBladeMessage, adaptor_error::kBladeMessageNotPossible,
                    L"No blade supported messages were set");
    if (!request.IsInternal())
        return Fail(kSendBladeMessage, adaptor_error::kBladeMessageNotPossible,
                    L"Sending message through TARN to non-internal servers, is not supported");
    if (request.GetMsgType().empty())
        return Fail(kSendBladeMessage, adaptor_error::kInvalidArgument, L"Message type is empty");
    const std::optional<BladeMessageSettings> found = SupportedBladeMessages.SettingsOf(request.GetMsgType());
    if (!found)
        return Fail(kSendBladeMessage, adaptor_error::kBladeMessageTypeNotSupported,
                    records::FormatWide(L"Requested message type: %s, is not found in supported blade message",
                                        request.GetMsgType().c_str()));

    const BladeMessageSettings& entry = *found;
    BladeMessageSettings settings;
    settings.CopyValidated(entry);
    const std::wstring& messageType = entry.GetMsgType();
    if (!request.GetAuthType().empty()) {
        WriteLog(LOG_VERBOSE, kSendBladeMessage,
                 L"Sending blade message, type: %s. Explicit authType: %s, was set in request", messageType.c_str(),
                 request.GetAuthType().c_str());
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
        return Fail(kSendBladeMessage, adaptor_error::kRequestTableFailed,
                    records::FormatWide(L"Failed to create msgReqWithSettingsSA for msgType: %s, hr: 0x%08x",
                                        messageType.c_str(), hr));
    win::UniqueSafeArray responseTable;
    hr = server->SendBladeMessage(requestTable.get(), responseTable.put());
    if (FAILED(hr))
        return Fail(kSendBladeMessage, adaptor_error::kServerCallFailed,
                    records::FormatWide(L"SendBladeMessage failed. Message Type: %s, hr: 0x%08x",
                                        request.GetMsgType().c_str(), hr));
    // Whatever the parse could read is handed on; a malformed table leaves
    // the fields it did not reach at their initial values.
    BladeMessageResponse received;
    received.FromPropertyTable(responseTable.get());
    received.CopyInto(response);
    WriteLog(LOG_VERBOSE, kSendBladeMessage,
             L"Received response from: %s, for message: %s. SendBladeMessage exit code: 0x%08x",
             request.GetDstIpDns().c_str(), response.GetMsgType().c_str(), hr);
    return hr;
}

HRESULT TarnAdaptor::CollectPayload(const std::wstring& payloadType, const std::wstring& payload) {
    const char* const kName = "TarnAdaptor::CollectPayload";
    const HRESULT collected = context_->WithPayload([&](CollectedPayload& slot) {
        WriteLog(LOG_VERBOSE, kName, L"Called");
        if (payloadType.empty() || payload.empty())
            return Fail(kName, adaptor_error::kInvalidArgument,
                        L"Payload type or data is empty. Not collecting payload");
        slot.payloadData = payload;
        slot.payloadType = payloadType;
        WriteLog(LOG_VERBOSE, kName, L"Payload collected, type: %s", payloadType.c_str());
        return S_OK;
    });
    if (FAILED(collected)) return collected;
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
    if (FAILED(hr))
        return Fail(kName, adaptor_error::kServerCallFailed,
                    records::FormatWide(L"TriggerPayloadPoll call failed, hr: 0x%08x", hr),
                    L"TriggerPayloadPoll call failed");
    WriteLog(LOG_VERBOSE, kName, L"Triggered payload poll");
    return S_OK;
}

HRESULT TarnAdaptor::GetPayload(SAFEARRAY** payload, BSTR* payloadType) {
    const char* const kName = "TarnAdaptor::GetPayload";
    return context_->WithPayload([&](CollectedPayload& slot) -> HRESULT {
        if (slot.payloadData.empty() && slot.payloadType.empty()) return S_OK;
        if (!payload || !payloadType) return E_POINTER;
        WriteLog(LOG_VERBOSE, kName, L"Called, payload exists");
        const std::optional<std::string> bytes = text::WideToUtf8(slot.payloadData);
        win::UniqueSafeArray array;
        if (bytes)
            array =
                safe_arrays::FromBytes(reinterpret_cast<const BYTE*>(bytes->data()), static_cast<ULONG>(bytes->size()));
        win::UniqueBstr type = win::UniqueBstr::Copy(slot.payloadType);
        if (!array || !type.get()) {
            // The payload stays for a later pull.
            WriteLog(LOG_ERROR, kName, L"Failed to convert payload data to safearray. No payload returned");
            return E_FAIL;
        }
        *payload = array.release();
        *payloadType = type.release();
        WriteLog(LOG_VERBOSE, kName, L"Payload returned, type: %s", slot.payloadType.c_str());
        slot.payloadData.clear();
        slot.payloadType.clear();
        return S_OK;
    });
}

HRESULT TarnAdaptor::SendBladePayload(const std::wstring& payloadType, const std::wstring& payload,
                                      std::wstring& response) {
    const char* const kName = "TarnAdaptor::SendBladePayload";
    if (payloadType.empty() || payload.empty())
        return Fail(kName, adaptor_error::kInvalidArgument, L"Payload type or data is empty. Not sending blade payload",
                    L"Payload type or data is empty. Not sending payload");
    if (FindMessageType(payloadType) < 0) {
        BladeMessageSettings settings;
        settings.SetAll(payloadType, L"HTTP", 80, L"NONE", L"DUMMY_PATH");
        SupportedBladeMessages.Append(payloadType, settings);
    }
    BladeMessageRequest request(payloadType);
    request.SetReqData(payload);
    request.SetIsPayload(true);
    request.SetDstIpDns(L"INTERNAL");
    BladeMessageResponse answer;
    const HRESULT hr = SendBladeMessage(request, answer);
    if (FAILED(hr))
        return Fail(
            kName, adaptor_error::kBladePayloadFailed,
            records::FormatWide(L"SendBladePayload failed. Payload Type: %s, hr: 0x%08x", payloadType.c_str(), hr));
    response = answer.GetRespData();
    return S_OK;
}
