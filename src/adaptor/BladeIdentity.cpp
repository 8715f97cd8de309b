// The adaptor's construction and the blade's identity: blade type, blade
// GUID and the lists the blade subscribes to.

#include "adaptor/BladeTypes.h"
#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "notify/TARNClientBridge.h"
#include "records/PolicyInfo.h"

namespace {

// Blade types below this one that have no notification peer are moved into
// the monitoring range.
constexpr LONG kFirstUnmonitoredBladeType = 49;
constexpr LONG kMonitoringOffset = 1001;

}  // namespace

// The adaptor's server pointer belongs to the multithreaded apartment,
// which must outlive every thread that happens to create or destroy the
// adaptor. A usage count keeps it alive without entering the apartment on
// (and later leaving it from) a thread that belongs to the blade.
TarnAdaptor::TarnAdaptor() : context_(std::make_unique<AdaptorContext>()), mtaUsage_(win::UniqueMtaUsage::Acquire()) {
    context_->CallbackObject()->SetAdaptor(this);
}

void TarnAdaptor::SetSupportedPoliceis(const std::vector<ULONG>& policyTypes) { supportedPolicyTypes_ = policyTypes; }

void TarnAdaptor::SetSupportedPayloadResponseTypes(const std::vector<std::wstring>& types) {
    supportedPayloadResponseTypes_ = types;
}

void TarnAdaptor::DeliverNotificationsTo(NotificationDelivery* delivery) {
    context_->CallbackObject()->SetDelivery(delivery);
}

bool TarnAdaptor::ReceivesIncidents() const {
    const BladeTypeInfo* row = FindBladeType(bladeType_);
    return row && row->receivesIncidents;
}

HRESULT TarnAdaptor::Init(ULONG bladeType, TarnNotificationPeer* peer) {
    win::Lock lock(connectionLock_);
    InitLogger();
    LONG type = static_cast<LONG>(bladeType);
    WriteLog(LOG_INFO, "TarnAdaptor::Init", L"Called, client bladeType: %d, pNotificationPeer: %p", type,
             static_cast<void*>(peer));
    if (bladeType >= static_cast<ULONG>(e_BladeType_MONITORING)) {
        WriteLog(LOG_ERROR, "TarnAdaptor::Init",
                 L"Blade type value: %d, should not be used. Use values in range below: "
                 L"e_BladeType_MONITORING",
                 type);
        return adaptor_error::kInvalidArgument;
    }
    if (type < kFirstUnmonitoredBladeType && !peer) {
        WriteLog(LOG_INFO, "TarnAdaptor::Init", L"NotificationPeer is NULL for blade type: %d", type);
        const LONG monitoring = type + kMonitoringOffset;
        WriteLog(LOG_INFO, "TarnAdaptor::Init", L"Converting blade type to blades monitoring range type: %d -> %d ",
                 type, monitoring);
        type = monitoring;
    }
    WriteLog(LOG_INFO, "TarnAdaptor::Init", L"Setting blade type to: %d", type);
    bladeType_ = type;
    notificationPeer_ = peer;
    return Start();
}

void TarnAdaptor::InitGuid() {
    win::Lock lock(connectionLock_);
    WriteLog(LOG_VERBOSE, "TarnAdaptor::InitGuid", L"Called");
    bladeGuid_ = GUID_NULL;
    if (bladeType_ == -1) {
        Fail("TarnAdaptor::InitGuid", adaptor_error::kBladeTypeNotSet,
             L"Blade type was not set, unable to init blade guid", L"BladeType must be set,unable to init blade guid");
        return;
    }
    const ULONG lookup =
        static_cast<ULONG>(bladeType_ > e_BladeType_MONITORING ? bladeType_ - kMonitoringOffset : bladeType_);
    if (const BladeTypeInfo* row = FindBladeType(static_cast<LONG>(lookup))) {
        bladeGuid_ = row->guid;
        WriteLog(LOG_INFO, "TarnAdaptor::InitGuid", L"GUID: %s set, for bladeTpe: %d (Used bladeType: %u)",
                 GuidToString(bladeGuid_).c_str(), bladeType_, lookup);
        return;
    }
    WriteLog(LOG_ERROR, "TarnAdaptor::InitGuid",
             L"GUID was not found for blade: %u. Setting to GUID_NULL (Used bladeID: %u)",
             static_cast<ULONG>(bladeType_), lookup);
}

void TarnAdaptor::ReportError(HRESULT code, const std::wstring& message) {
    if (notificationPeer_) notificationPeer_->OnAdaptorError(code, message);
}

HRESULT TarnAdaptor::Fail(const char* function, HRESULT code, const std::wstring& logText,
                          const std::wstring& reportText, const std::optional<LogLine>& followUp) {
    // Through "%s": a percent sign inside a message type or a URL is printed
    // as it stands.
    WriteLog(LOG_ERROR, function, L"%s", logText.c_str());
    if (followUp) WriteLog(followUp->level, function, L"%s", followUp->text.c_str());
    ReportError(code, reportText);
    return code;
}
