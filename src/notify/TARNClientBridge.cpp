#include "notify/TARNClientBridge.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>

#include "log/Guarded.h"
#include "notify/Delivery.h"
#include "notify/TarnNotificationPeer.h"
#include "records/SafeArrays.h"
#include "win/Threads.h"

// ---- holds ----------------------------------------------------------------

TARNClientBridge::Hold::Hold(TARNClientBridge& bridge) : bridge_(bridge) {
    // The hold keeps the bridge itself alive as well: a blade callback may
    // stop the session from inside the very call that holds it, and the
    // adaptor's context then drops what may be the last other reference.
    bridge.AddRef();
    try {
        bridge.BeginHold(adaptor_, delivery_);
    } catch (...) {
        bridge.Release();
        throw;
    }
}

TARNClientBridge::Hold::~Hold() {
    bridge_.EndHold();
    bridge_.Release();  // may delete the bridge: nothing touches it afterwards
}

void TARNClientBridge::BeginHold(IBridgeOwner*& adaptor, NotificationDelivery*& delivery) {
    win::Lock lock(gateLock_);
    callers_.push_back(GetCurrentThreadId());
    adaptor = adaptor_;
    delivery = delivery_;
}

void TARNClientBridge::EndHold() {
    win::Lock lock(gateLock_);
    const auto mine = std::find(callers_.begin(), callers_.end(), GetCurrentThreadId());
    if (mine != callers_.end()) callers_.erase(mine);
    WakeAllConditionVariable(&callerLeft_);
}

bool TARNClientBridge::CallsInsideBesides(DWORD exemptThread) const {
    for (DWORD id : callers_)
        if (id != exemptThread) return true;
    return false;
}

void TARNClientBridge::WaitForCallers(DWORD exemptThread) {
    while (CallsInsideBesides(exemptThread)) SleepConditionVariableCS(&callerLeft_, gateLock_.native(), INFINITE);
}

void TARNClientBridge::Detach(DWORD exemptThread) {
    win::Lock lock(gateLock_);
    adaptor_ = nullptr;
    delivery_ = nullptr;
    WaitForCallers(exemptThread);
}

void TARNClientBridge::AwaitCallsToEnd() {
    win::Lock lock(gateLock_);
    WaitForCallers(0);
}

bool TARNClientBridge::IsServingThread(DWORD threadId) const {
    win::Lock lock(gateLock_);
    return std::find(callers_.begin(), callers_.end(), threadId) != callers_.end();
}

void TARNClientBridge::Disconnect() {
    CoDisconnectObject(static_cast<ITARNClient*>(this), 0);
    // Left: the adaptor's context, and whoever else holds the bridge
    // directly: an in-process server.
    if (refCount_.load() > 1) {
        WriteLog(LOG_INFO, "TARNClientBridge::Disconnect",
                 L"The server still holds the callback object: the module stays loaded");
        win::PinThisModule();
    }
}

// ---- IUnknown ---------------------------------------------------------------

TARNClientBridge::TARNClientBridge() {
    InitializeConditionVariable(&callerLeft_);
    // Room for the usual number of concurrent server calls, so that a hold
    // seldom allocates.
    callers_.reserve(16);
}

win::ComPtr<TARNClientBridge> TARNClientBridge::Create() {
    return win::ComPtr<TARNClientBridge>(new TARNClientBridge());
}

TARNClientBridge::~TARNClientBridge() = default;

void TARNClientBridge::SetAdaptor(IBridgeOwner* adaptor) {
    win::Lock lock(gateLock_);
    adaptor_ = adaptor;
}

void TARNClientBridge::SetDelivery(NotificationDelivery* delivery) {
    win::Lock lock(gateLock_);
    delivery_ = delivery;
}

HRESULT TARNClientBridge::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITARNClient)) {
        *object = static_cast<ITARNClient*>(this);
    } else if (IsEqualIID(iid, IID_IKestrel)) {
        const bool receives = Guarded("TARNClientBridge::QueryInterface", false, [this] {
            Hold hold(*this);
            return hold.Adaptor() && hold.Adaptor()->ReceivesIncidents();
        });
        if (!receives) return E_NOINTERFACE;
        *object = static_cast<IKestrel*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG TARNClientBridge::AddRef() { return static_cast<ULONG>(++refCount_); }

ULONG TARNClientBridge::Release() {
    const LONG count = --refCount_;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

// ---- deliveries -------------------------------------------------------------

HRESULT TARNClientBridge::PolicyArrivalNotification(BSTR description) {
    const char* const kName = "TARNClientBridge::PolicyArrivalNotification";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Delivery()) return S_OK;
        WriteLog(LOG_VERBOSE, kName, L"Policy arrived");
        PolicyInfo policy;
        const std::wstring text = win::UniqueBstr::Text(description);
        if (text.empty() || !policy.Parse(text)) return S_OK;
        return hold.Delivery()->Enqueue(
            NotificationKind::Policy, [policy](TarnNotificationPeer& peer) { peer.OnNewPolicy(policy); }, kName);
    });
}

HRESULT TARNClientBridge::OperationArrivalNotification(GUID opId, ULONG opType, BSTR opContent) {
    const char* const kName = "TARNClientBridge::OperationArrivalNotification";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Delivery()) return S_OK;
        WriteLog(LOG_VERBOSE, kName, L"Operation arrived");
        // A null content stays null until the thread turns it into text.
        const std::wstring content = win::UniqueBstr::Text(opContent);
        return hold.Delivery()->Enqueue(
            NotificationKind::Operation,
            [opId, opType, content](TarnNotificationPeer& peer) { peer.OnNewOperation(opId, opType, content); }, kName);
    });
}

HRESULT TARNClientBridge::PushData(SAFEARRAY* payload, BSTR payloadType) {
    const char* const kName = "TARNClientBridge::PushData";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Delivery()) return S_OK;
        WriteLog(LOG_INFO, kName, L"Called");
        const std::wstring type = win::UniqueBstr::Text(payloadType);
        if (type.empty()) {
            WriteLog(LOG_INFO, kName, L"Payload type is empty, exiting");
            return S_OK;
        }
        if (!payload) return E_INVALIDARG;
        // Read up to the first zero byte, and never past the array's last element.
        std::optional<std::wstring> text = safe_arrays::Utf8Text(payload);
        if (!text) return E_INVALIDARG;
        if (text->empty()) {
            WriteLog(LOG_INFO, kName, L"Payload response is empty, exiting");
            return S_OK;
        }
        WriteLog(LOG_INFO, kName, L"Payload response received, type: %s", type.c_str());
        return hold.Delivery()->Enqueue(
            NotificationKind::PayloadResponse,
            [type, data = std::move(*text)](TarnNotificationPeer& peer) { peer.OnPayloadResponse(type, data); }, kName);
    });
}

HRESULT TARNClientBridge::ActivatePolicies(SAFEARRAY* pacList) {
    const char* const kName = "TARNClientBridge::ActivatePolicies";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Delivery()) return S_OK;
        if (!pacList) return E_INVALIDARG;
        std::optional<std::vector<LONG>> values = safe_arrays::Longs(pacList);
        if (!values) return E_INVALIDARG;
        if (values->empty()) return S_OK;
        std::wstring text = L"{";
        for (size_t i = 0; i < values->size(); ++i)
            text += std::to_wstring((*values)[i]) + (i + 1 < values->size() ? L", " : L"}");
        WriteLog(LOG_VERBOSE, kName, L"Called, set policy activation list called with: %s", text.c_str());
        return hold.Delivery()->Enqueue(
            NotificationKind::Activation,
            [list = std::move(*values)](TarnNotificationPeer& peer) {
                // The peer takes over a copy of its own.
                PacList pacs;
                pacs.count = static_cast<LONG>(list.size());
                pacs.values.reset(new LONG[list.size()]);
                std::copy(list.begin(), list.end(), pacs.values.get());
                peer.OnActivationStatusChanged(std::move(pacs));
            },
            kName);
    });
}

HRESULT TARNClientBridge::PullData(SAFEARRAY** payload, BSTR* payloadType) {
    const char* const kName = "TARNClientBridge::PullData";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Adaptor()) {
            WriteLog(LOG_ERROR, kName, L"Adaptor pointer is missing");
            return E_FAIL;
        }
        return hold.Adaptor()->GetPayload(payload, payloadType);
    });
}

HRESULT TARNClientBridge::ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1, BSTR detail2, BSTR detail3,
                                         LONG value1, ULONG value2, ULONG value3, BSTR detail4) {
    const char* const kName = "TARNClientBridge::ReportIncident";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Adaptor()) {
            WriteLog(LOG_ERROR, kName, L"Adaptor pointer i smissing");
            return E_FAIL;
        }
        if (!hold.Adaptor()->ReceivesIncidents()) {
            WriteLog(LOG_ERROR, kName, L"Not an Kestrel blade, incident report is not supported");
            return E_FAIL;
        }
        if (!hold.Delivery()) {
            WriteLog(LOG_ERROR, kName, L"Kestrel blade, but no notification peer exist, can't deliver incident report");
            return E_FAIL;
        }
        WriteLog(LOG_VERBOSE, kName, L"Report incident arrived, calling OnReportIncident");
        using win::UniqueBstr;
        hold.Delivery()->Peer().OnReportIncident(UniqueBstr::Text(incidentId), incidentType, UniqueBstr::Text(detail1),
                                                 UniqueBstr::Text(detail2), UniqueBstr::Text(detail3), value1, value2,
                                                 value3, UniqueBstr::Text(detail4));
        return S_OK;
    });
}

// ---- operations the adaptor does not use --------------------------------------

HRESULT TARNClientBridge::ServerClosing() {
    WriteLog(LOG_WARNING, "TARNClientBridge::ServerClosing", L"Called, Not implemented");
    return S_OK;
}

HRESULT TARNClientBridge::GetAvailability() {
    WriteLog(LOG_WARNING, "TARNClientBridge::GetAvailability", L"Called, Not implemented");
    return S_OK;
}

HRESULT TARNClientBridge::PropertyChange(LONG, LONG, BSTR, BSTR, VARIANT) {
    WriteLog(LOG_WARNING, "TARNClientBridge::PropertyChange", L"Called, Not implemented");
    return S_OK;
}

HRESULT TARNClientBridge::GetActivePolicies(SAFEARRAY**) {
    WriteLog(LOG_WARNING, "TARNClientBridge::GetActivePolicies", L"Called, Not implemented");
    return E_NOTIMPL;
}
