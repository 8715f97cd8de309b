// The adaptor's construction and the blade's identity: blade type, blade
// GUID and the lists the blade subscribes to.
#include <mutex>

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "notify/TARNClientBridge.h"
#include "records/PolicyInfo.h"

namespace {

struct BladeGuidRow {
    ULONG bladeType;
    GUID bladeGuid;
};

// Searched in this order: the first row of the type gives the GUID.
constexpr BladeGuidRow kBladeGuids[] = {
    {0, {0x83aa2823, 0x822f, 0x47d9, {0x8e, 0xd2, 0x58, 0x34, 0xf1, 0xfd, 0xe8, 0x90}}},
    {1, {0x97db235d, 0x44f3, 0x48cd, {0xa9, 0xb4, 0xda, 0xda, 0x44, 0x25, 0x5b, 0x76}}},
    {2, {0x7d7d88b4, 0x8fb9, 0x4bbc, {0xa4, 0x0b, 0x32, 0x99, 0xb0, 0xe6, 0x99, 0x02}}},
    {3, {0x14c4bb2b, 0x0884, 0x41c2, {0x9e, 0x06, 0x59, 0x1f, 0x9f, 0x57, 0x0a, 0x5d}}},
    {4, {0x2c36e3b2, 0xf7ed, 0x416a, {0xac, 0x3f, 0xb0, 0x01, 0xd5, 0x07, 0x22, 0x70}}},
    {5, {0x3029cc79, 0xcad0, 0x45d5, {0x8c, 0xbe, 0xd5, 0xf1, 0x92, 0x92, 0xc0, 0x42}}},
    {6, {0xef2c5941, 0x7b8c, 0x45f6, {0x93, 0xbd, 0x76, 0xd8, 0xb3, 0x9c, 0xdf, 0x9f}}},
    {7, {0x4102d510, 0xeb32, 0x49f7, {0x95, 0xb2, 0x16, 0xd6, 0x41, 0xdb, 0xdc, 0xc0}}},
    {8, {0xd39e7d2c, 0x0bd9, 0x489b, {0xb2, 0xa4, 0x17, 0x30, 0x6d, 0x40, 0xd4, 0xa8}}},
    {9, {0xd768ed28, 0x11bf, 0x4226, {0xa3, 0x66, 0x02, 0xcc, 0xf8, 0x75, 0x00, 0xca}}},
    {10, {0xf646d447, 0x109d, 0x4b35, {0x9c, 0xd0, 0xfe, 0x92, 0x03, 0x9d, 0x3c, 0xec}}},
    {11, {0x02ad4f18, 0xbd1d, 0x4c14, {0xab, 0x21, 0x6d, 0x3d, 0xea, 0x3d, 0xe5, 0x8b}}},
    {12, {0x8b72560a, 0xb4fd, 0x41f9, {0x84, 0xfe, 0x99, 0x66, 0x14, 0x52, 0x45, 0x39}}},
    {13, {0xa3918ab7, 0x7d4b, 0x4195, {0xb2, 0x4a, 0xed, 0x6b, 0xc7, 0x51, 0xf9, 0xbb}}},
    {14, {0xa71736b0, 0xaf22, 0x4b4a, {0xb8, 0x8f, 0x06, 0x80, 0xb2, 0xf1, 0x53, 0x70}}},
    {49, {0x0fd795e6, 0x9d62, 0x4e6c, {0xae, 0x11, 0xc9, 0x2e, 0xd2, 0x92, 0xfc, 0x82}}},
    {50, {0x7949c9f9, 0x570f, 0x4d0a, {0x9c, 0x55, 0x29, 0x3a, 0x25, 0x35, 0x4f, 0xfb}}},
    {51, {0xc9a2070e, 0x93c9, 0x4082, {0x8d, 0x08, 0x59, 0xf3, 0x30, 0x74, 0x52, 0xed}}},
    {52, {0x0ff05af7, 0xf81a, 0x4926, {0x99, 0x30, 0x9d, 0xdb, 0xea, 0x58, 0xb0, 0x9b}}},
    {15, {0x8b98dfc4, 0x6a80, 0x4d6b, {0xb1, 0x82, 0xdc, 0x81, 0xf7, 0xc6, 0x9b, 0x3d}}},
    {16, {0xc63e68f9, 0x931f, 0x408d, {0xb5, 0x49, 0x4c, 0xe7, 0xef, 0x18, 0x9b, 0xae}}},
};

// Blade types below this one that have no notification peer are moved into
// the monitoring range.
constexpr LONG kFirstUnmonitoredBladeType = 49;
constexpr LONG kMonitoringOffset = 1001;

}  // namespace

// The adaptor's server pointer belongs to the multithreaded apartment,
// which must outlive every thread that happens to create or destroy the
// adaptor. A usage count keeps it alive without entering the apartment on
// (and later leaving it from) a thread that belongs to the blade.
TarnAdaptor::TarnAdaptor()
    : context_(std::make_unique<AdaptorContext>()), mtaUsage_(win::UniqueMtaUsage::Acquire()) {
    context_->CallbackObject()->SetAdaptor(this);
}

void TarnAdaptor::SetSupportedPoliceis(const std::vector<ULONG>& policyTypes) {
    supportedPolicyTypes_ = policyTypes;
}

void TarnAdaptor::SetSupportedPayloadResponseTypes(const std::vector<std::wstring>& types) {
    supportedPayloadResponseTypes_ = types;
}

HRESULT TarnAdaptor::Init(ULONG bladeType, TarnNotificationPeer* peer) {
    std::lock_guard<win::CriticalSection> lock(connectionLock_);
    InitLogger();
    LONG type = static_cast<LONG>(bladeType);
    WriteLog(LOG_INFO, "TarnAdaptor::Init", L"Called, client bladeType: %d, pNotificationPeer: %p",
             type, static_cast<void*>(peer));
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
        WriteLog(LOG_INFO, "TarnAdaptor::Init",
                 L"Converting blade type to blades monitoring range type: %d -> %d ", type, monitoring);
        type = monitoring;
    }
    WriteLog(LOG_INFO, "TarnAdaptor::Init", L"Setting blade type to: %d", type);
    bladeType_ = type;
    notificationPeer_ = peer;
    context_->CallbackObject()->SetNotificationPeer(peer);
    return Start();
}

void TarnAdaptor::InitGuid() {
    std::lock_guard<win::CriticalSection> lock(connectionLock_);
    WriteLog(LOG_VERBOSE, "TarnAdaptor::InitGuid", L"Called");
    bladeGuid_ = GUID_NULL;
    if (bladeType_ == -1) {
        Fail("TarnAdaptor::InitGuid", adaptor_error::kBladeTypeNotSet,
             L"Blade type was not set, unable to init blade guid", L"BladeType must be set,unable to init blade guid");
        return;
    }
    const ULONG lookup = static_cast<ULONG>(bladeType_ > e_BladeType_MONITORING
                                                ? bladeType_ - kMonitoringOffset
                                                : bladeType_);
    for (const BladeGuidRow& row : kBladeGuids) {
        if (row.bladeType != lookup) continue;
        bladeGuid_ = row.bladeGuid;
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
