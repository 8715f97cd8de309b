#include "notify/TARNClientBridge.h"

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "log/Guarded.h"
#include "notify/TarnNotificationPeer.h"
#include "records/SafeArrays.h"
#include "win/Threads.h"

// One delivery's place in the order of its kind: done is set when the
// delivery is over (delivered, dropped or never started).
struct DeliveryTurn {
    win::UniqueHandle done{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

namespace {

constexpr LONG kKestrelBladeType = 13;

// The bridge whose delivery (or incident) runs on this thread: a blade
// callback running inside it may finalise the stub, and that bridge's Detach
// must not wait for the very delivery that called it. (Another adaptor's
// Detach on this thread waits for all of its own holds.)
thread_local const TARNClientBridge* t_deliveringBridge = nullptr;

// Marks this thread as delivering for a bridge while a delivery runs here.
class DeliveringOnThisThread {
public:
    explicit DeliveringOnThisThread(const TARNClientBridge& bridge)
        : previous_(std::exchange(t_deliveringBridge, &bridge)) {}
    ~DeliveringOnThisThread() { t_deliveringBridge = previous_; }
    DeliveringOnThisThread(const DeliveringOnThisThread&) = delete;
    DeliveringOnThisThread& operator=(const DeliveringOnThisThread&) = delete;

private:
    const TARNClientBridge* previous_;
};

// Ends a delivery's turn when the delivery goes, whether it ran or not.
class TurnFinisher {
public:
    explicit TurnFinisher(std::shared_ptr<DeliveryTurn> turn) : turn_(std::move(turn)) {}
    ~TurnFinisher() {
        if (turn_) SetEvent(turn_->done.get());
    }
    TurnFinisher(TurnFinisher&&) noexcept = default;
    TurnFinisher(const TurnFinisher&) = delete;
    TurnFinisher& operator=(const TurnFinisher&) = delete;
    TurnFinisher& operator=(TurnFinisher&&) = delete;

private:
    std::shared_ptr<DeliveryTurn> turn_;
};

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

bool TARNClientBridge::Hold::AwaitTurn(HANDLE previousDone) const {
    if (!previousDone) return true;
    const HANDLE waits[] = {previousDone, bridge_->detaching_.get()};
    return WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
}

void TARNClientBridge::EndHold() {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    if (--holds_ == 0) WakeAllConditionVariable(&holdsReleased_);
}

void TARNClientBridge::Detach() {
    SetEvent(detaching_.get());
    const LONG ownHolds = t_deliveringBridge == this ? 1 : 0;
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    adaptor_ = nullptr;
    peer_ = nullptr;
    while (holds_ > ownHolds) SleepConditionVariableCS(&holdsReleased_, gateLock_.native(), INFINITE);
    // Left: the adaptor's context, this thread's own hold, and whoever else
    // holds the bridge: the server, or a dead server's leftovers.
    if (refCount_.load() > 1 + ownHolds) {
        WriteLog(LOG_INFO, "TARNClientBridge::Detach",
                 L"The server still holds the callback object: the module stays loaded");
        win::PinThisModule();
    }
}

// ---- IUnknown ---------------------------------------------------------------

TARNClientBridge::TARNClientBridge() : detaching_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeConditionVariable(&holdsReleased_);
}

win::ComPtr<TARNClientBridge> TARNClientBridge::Create() {
    win::ComPtr<TARNClientBridge> bridge(new TARNClientBridge());
    if (!bridge->detaching_) throw std::bad_alloc();
    return bridge;
}

TARNClientBridge::~TARNClientBridge() = default;

void TARNClientBridge::SetAdaptor(IBridgeOwner* adaptor) {
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

std::shared_ptr<DeliveryTurn> TARNClientBridge::TakeTurn(DeliveryKind kind,
                                                         const std::shared_ptr<DeliveryTurn>& turn) {
    std::lock_guard<win::CriticalSection> lock(gateLock_);
    return std::exchange(lastTurn_[static_cast<size_t>(kind)], turn);
}

template <typename Deliver>
HRESULT TARNClientBridge::StartDelivery(DeliveryKind kind, const char* threadName, Hold hold, Deliver deliver) {
    auto turn = std::make_shared<DeliveryTurn>();
    if (!turn->done) return E_FAIL;
    // The turn is taken here, on the server's calling thread, so deliveries
    // follow the order of the server's calls; the thread only waits for it.
    std::shared_ptr<DeliveryTurn> previous = TakeTurn(kind, turn);
    const bool started = win::StartDetached(
        [threadName, finisher = TurnFinisher(turn), previous, hold = std::move(hold),
         deliver = std::move(deliver)]() mutable {
            DeliveringOnThisThread delivering(*hold.Bridge());
            if (!hold.AwaitTurn(previous ? previous->done.get() : nullptr)) return;  // detached: dropped
            previous.reset();
            WriteLog(LOG_VERBOSE, threadName, L"in thread function");
            deliver(*hold.Peer());
            WriteLog(LOG_VERBOSE, threadName, L"exit from thread function");
        });
    // A delivery that never starts is over at once: the next one of its kind
    // does not wait for it.
    return started ? S_OK : E_FAIL;
}

HRESULT TARNClientBridge::PolicyArrivalNotification(BSTR description) {
    const char* const kName = "TARNClientBridge::PolicyArrivalNotification";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Peer()) return S_OK;
        WriteLog(LOG_VERBOSE, kName, L"Policy arrived");
        PolicyInfo policy;
        const std::wstring text = win::UniqueBstr::Text(description);
        if (text.empty() || !policy.Parse(text)) return S_OK;
        return StartDelivery(DeliveryKind::Policy, "TARNClientBridge::PolicyArrivalThread", std::move(hold),
                             [policy](TarnNotificationPeer& peer) { peer.OnNewPolicy(policy); });
    });
}

HRESULT TARNClientBridge::OperationArrivalNotification(GUID opId, ULONG opType, BSTR opContent) {
    const char* const kName = "TARNClientBridge::OperationArrivalNotification";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Peer()) return S_OK;
        WriteLog(LOG_VERBOSE, kName, L"Operation arrived");
        // A null content stays null until the thread turns it into text.
        const std::wstring content = win::UniqueBstr::Text(opContent);
        return StartDelivery(DeliveryKind::Operation, "TARNClientBridge::OperationArrivalThread", std::move(hold),
                             [opId, opType, content](TarnNotificationPeer& peer) {
                                 peer.OnNewOperation(opId, opType, content);
                             });
    });
}

HRESULT TARNClientBridge::PushData(SAFEARRAY* payload, BSTR payloadType) {
    const char* const kName = "TARNClientBridge::PushData";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Peer()) return S_OK;
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
        return StartDelivery(DeliveryKind::PayloadResponse, "TARNClientBridge::OnPayloadResponseThread",
                             std::move(hold), [type, data = std::move(*text)](TarnNotificationPeer& peer) {
                                 peer.OnPayloadResponse(type, data);
                             });
    });
}

HRESULT TARNClientBridge::ActivatePolicies(SAFEARRAY* pacList) {
    const char* const kName = "TARNClientBridge::ActivatePolicies";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
        Hold hold(*this);
        if (!hold.Peer()) return S_OK;
        if (!pacList) return E_INVALIDARG;
        std::optional<std::vector<LONG>> values = safe_arrays::Longs(pacList);
        if (!values) return E_INVALIDARG;
        if (values->empty()) return S_OK;
        std::wstring text = L"{";
        for (size_t i = 0; i < values->size(); ++i)
            text += std::to_wstring((*values)[i]) + (i + 1 < values->size() ? L", " : L"}");
        WriteLog(LOG_VERBOSE, kName, L"Called, set policy activation list called with: %s", text.c_str());
        return StartDelivery(DeliveryKind::Activation, "TARNClientBridge::ActivatePoliciesThread", std::move(hold),
                             [list = std::move(*values)](TarnNotificationPeer& peer) {
                                 // The peer takes over a copy of its own.
                                 PacList pacs;
                                 pacs.count = static_cast<LONG>(list.size());
                                 pacs.values.reset(new LONG[list.size()]);
                                 std::copy(list.begin(), list.end(), pacs.values.get());
                                 peer.OnActivationStatusChanged(std::move(pacs));
                             });
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

HRESULT TARNClientBridge::ReportIncident(BSTR incidentId, ULONG incidentType, BSTR detail1, BSTR detail2,
                                         BSTR detail3, LONG value1, ULONG value2, ULONG value3, BSTR detail4) {
    const char* const kName = "TARNClientBridge::ReportIncident";
    return Guarded(kName, E_OUTOFMEMORY, [&]() -> HRESULT {
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
        DeliveringOnThisThread delivering(*this);
        using win::UniqueBstr;
        hold.Peer()->OnReportIncident(UniqueBstr::Text(incidentId), incidentType, UniqueBstr::Text(detail1),
                                      UniqueBstr::Text(detail2), UniqueBstr::Text(detail3), value1, value2, value3,
                                      UniqueBstr::Text(detail4));
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
