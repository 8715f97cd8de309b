#include "notify/TARNClientBridge.h"

#include <process.h>

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "adaptor/SafeArrays.h"
#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "notify/TarnNotificationPeer.h"

namespace {

constexpr LONG kKestrelBladeType = 13;

// How many holds the current thread has: a blade callback running inside a
// delivery may finalise the stub, and Detach must not wait for the very
// delivery that called it.
thread_local LONG t_holdsOnThisThread = 0;

std::wstring FromBstr(BSTR text) { return text ? std::wstring(text, SysStringLen(text)) : std::wstring(); }

struct PolicyWork {
    TARNClientBridge::Hold hold;
    PolicyInfo policy;
};

struct OperationWork {
    TARNClientBridge::Hold hold;
    GUID opId;
    ULONG opType;
    win::UniqueBstr opContent;
};

struct PayloadResponseWork {
    TARNClientBridge::Hold hold;
    std::wstring payloadType;
    std::wstring payload;
};

struct ActivationWork {
    TARNClientBridge::Hold hold;
    PacList pacs;
};

// Runs one delivery on its thread and destroys its work item (with the
// hold) afterwards.
template <typename WorkItem, typename Deliver>
unsigned RunDelivery(const char* name, void* argument, Deliver deliver) {
    std::unique_ptr<WorkItem> item(static_cast<WorkItem*>(argument));
    ++t_holdsOnThisThread;
    WriteLog(LOG_VERBOSE, name, L"in thread function");
    deliver(*item);
    WriteLog(LOG_VERBOSE, name, L"exit from thread function");
    item.reset();
    --t_holdsOnThisThread;
    return 0;
}

unsigned __stdcall PolicyArrivalThread(void* argument) {
    return RunDelivery<PolicyWork>("TARNClientBridge::PolicyArrivalThread", argument,
                                   [](PolicyWork& work) { work.hold.Peer()->OnNewPolicy(work.policy); });
}

unsigned __stdcall OperationArrivalThread(void* argument) {
    return RunDelivery<OperationWork>("TARNClientBridge::OperationArrivalThread", argument, [](OperationWork& work) {
        work.hold.Peer()->OnNewOperation(work.opId, work.opType, FromBstr(work.opContent.get()));
    });
}

unsigned __stdcall OnPayloadResponseThread(void* argument) {
    return RunDelivery<PayloadResponseWork>("TARNClientBridge::OnPayloadResponseThread", argument,
                                            [](PayloadResponseWork& work) {
                                                work.hold.Peer()->OnPayloadResponse(work.payloadType, work.payload);
                                            });
}

unsigned __stdcall ActivatePoliciesThread(void* argument) {
    // The work item's list is this thread's own: the peer takes it over.
    return RunDelivery<ActivationWork>("TARNClientBridge::ActivatePoliciesThread", argument, [](ActivationWork& work) {
        work.hold.Peer()->OnActivationStatusChanged(std::move(work.pacs));
    });
}

}  // namespace

// ---- holds ----------------------------------------------------------------

TARNClientBridge::Hold::Hold(TARNClientBridge& bridge) : bridge_(&bridge) {
    // The hold keeps the bridge itself alive as well: a blade callback may
    // finalise the stub from the very delivery that holds it, and the
    // adaptor's context then drops what may be the last other reference.
    bridge.AddRef();
    std::lock_guard<win::CriticalSection> lock(bridge.gateLock_);
    adaptor_ = bridge.adaptor_;
    peer_ = bridge.peer_;
    ++bridge.holds_;
}

TARNClientBridge::Hold::Hold(Hold&& other) noexcept
    : bridge_(std::exchange(other.bridge_, nullptr)), adaptor_(other.adaptor_), peer_(other.peer_) {}

TARNClientBridge::Hold::~Hold() {
    if (!bridge_) return;
    bridge_->EndHold();
    bridge_->Release();  // may delete the bridge: nothing touches it afterwards
}

void TARNClientBridge::EndHold() {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    if (--holds_ == 0) WakeAllConditionVariable(&holdsReleased_);
}

void TARNClientBridge::Detach() {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    adaptor_ = nullptr;
    peer_ = nullptr;
    while (holds_ > t_holdsOnThisThread) SleepConditionVariableCS(&holdsReleased_, gateLock_.native(), INFINITE);
}

// ---- IUnknown ---------------------------------------------------------------

TARNClientBridge::TARNClientBridge() { InitializeConditionVariable(&holdsReleased_); }

TARNClientBridge::~TARNClientBridge() = default;

void TARNClientBridge::SetAdaptor(TarnAdaptor* adaptor) {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    adaptor_ = adaptor;
}

void TARNClientBridge::SetNotificationPeer(TarnNotificationPeer* peer) {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    peer_ = peer;
}

HRESULT TARNClientBridge::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_ITARNClient)) {
        *object = static_cast<ITARNClient*>(this);
    } else if (IsEqualIID(iid, IID_IKestrel)) {
        Hold hold(*this);
        if (!hold.Adaptor() || hold.Adaptor()->BladeType() != kKestrelBladeType) return E_NOINTERFACE;
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

template <typename WorkItem>
HRESULT TARNClientBridge::StartDelivery(unsigned(__stdcall* thread)(void*), WorkItem* item) {
    const uintptr_t handle = _beginthreadex(nullptr, 0, thread, item, 0, nullptr);
    if (!handle) {
        delete item;
        return E_FAIL;
    }
    // Deliveries are detached: nobody waits for the thread itself.
    win::UniqueHandle closedAtOnce(reinterpret_cast<HANDLE>(handle));
    return S_OK;
}

HRESULT TARNClientBridge::PolicyArrivalNotification(BSTR description) {
    Hold hold(*this);
    if (!hold.Peer()) return S_OK;
    WriteLog(LOG_VERBOSE, "TARNClientBridge::PolicyArrivalNotification", L"Policy arrived");
    std::unique_ptr<PolicyWork> work(new (std::nothrow) PolicyWork{std::move(hold), PolicyInfo()});
    if (!work) return E_FAIL;
    const std::wstring text = FromBstr(description);
    if (text.empty() || !work->policy.Parse(text)) return S_OK;
    return StartDelivery(&PolicyArrivalThread, work.release());
}

HRESULT TARNClientBridge::OperationArrivalNotification(GUID opId, ULONG opType, BSTR opContent) {
    Hold hold(*this);
    if (!hold.Peer()) return S_OK;
    WriteLog(LOG_VERBOSE, "TARNClientBridge::OperationArrivalNotification", L"Operation arrived");
    win::UniqueBstr content;
    if (opContent) {
        content = win::UniqueBstr::Copy(opContent, SysStringLen(opContent));
        if (!content.get()) return E_FAIL;
    }
    auto* work = new (std::nothrow) OperationWork{std::move(hold), opId, opType, std::move(content)};
    if (!work) return E_FAIL;
    return StartDelivery(&OperationArrivalThread, work);
}

HRESULT TARNClientBridge::PushData(SAFEARRAY* payload, BSTR payloadType) {
    const char* const kName = "TARNClientBridge::PushData";
    Hold hold(*this);
    if (!hold.Peer()) return S_OK;
    WriteLog(LOG_INFO, kName, L"Called");
    const std::wstring type = FromBstr(payloadType);
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
    auto* work = new (std::nothrow) PayloadResponseWork{std::move(hold), type, std::move(*text)};
    if (!work) return E_FAIL;
    return StartDelivery(&OnPayloadResponseThread, work);
}

HRESULT TARNClientBridge::ActivatePolicies(SAFEARRAY* pacList) {
    Hold hold(*this);
    if (!hold.Peer()) return S_OK;
    if (!pacList) return E_INVALIDARG;
    std::optional<std::vector<LONG>> values = safe_arrays::Longs(pacList);
    if (!values) return E_INVALIDARG;
    if (values->empty()) return S_OK;

    PacList pacs;
    pacs.count = static_cast<LONG>(values->size());
    pacs.values.reset(new (std::nothrow) LONG[values->size()]);
    if (!pacs.values) return E_FAIL;
    std::copy(values->begin(), values->end(), pacs.values.get());
    std::wstring text = L"{";
    for (size_t i = 0; i < values->size(); ++i)
        text += std::to_wstring((*values)[i]) + (i + 1 < values->size() ? L", " : L"}");
    WriteLog(LOG_VERBOSE, "TARNClientBridge::ActivatePolicies", L"Called, set policy activation list called with: %s",
             text.c_str());
    auto* work = new (std::nothrow) ActivationWork{std::move(hold), std::move(pacs)};
    if (!work) return E_FAIL;
    return StartDelivery(&ActivatePoliciesThread, work);
}

HRESULT TARNClientBridge::PullData(SAFEARRAY** payload, BSTR* payloadType) {
    Hold hold(*this);
    if (!hold.Adaptor()) {
        WriteLog(LOG_ERROR, "TARNClientBridge::PullData", L"Adaptor pointer is missing");
        return E_FAIL;
    }
    return hold.Adaptor()->GetPayload(payload, payloadType);
}

HRESULT TARNClientBridge::ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1, BSTR detail2,
                                         BSTR detail3, LONG value1, ULONG value2, ULONG value3, BSTR detail4) {
    const char* const kName = "TARNClientBridge::ReportIncident";
    Hold hold(*this);
    if (!hold.Adaptor()) {
        WriteLog(LOG_ERROR, kName, L"Adaptor pointer i smissing");
        return E_FAIL;
    }
    if (hold.Adaptor()->BladeType() != kKestrelBladeType) {
        WriteLog(LOG_ERROR, kName, L"Not an Kestrel blade, incident report is not supported");
        return E_FAIL;
    }
    if (!hold.Peer()) {
        WriteLog(LOG_ERROR, kName, L"Kestrel blade, but no notification peer exist, can't deliver incident report");
        return E_FAIL;
    }
    WriteLog(LOG_VERBOSE, kName, L"Report incident arrived, calling OnReportIncident");
    ++t_holdsOnThisThread;
    hold.Peer()->OnReportIncident(FromBstr(incidentId), incidentType, FromBstr(detail1), FromBstr(detail2),
                                  FromBstr(detail3), value1, value2, value3, FromBstr(detail4));
    --t_holdsOnThisThread;
    return S_OK;
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
