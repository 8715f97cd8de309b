#include "stub/DefaultNotificationPeer.h"

#include "log/AdaptorLog.h"
#include "win/raii.h"

void TarnStubDefaultNotificationPeer::OnConnect() {
    WriteLog(LOG_VERBOSE, "TarnStubDefaultNotificationPeer::OnConnect",
             L"Connected To TARN, calling blade callback function");
    if (auto callback = Deliverable(callbacks_.connect)) callback();
}

void TarnStubDefaultNotificationPeer::OnNewPolicy(const PolicyInfo& policy) {
    WriteLog(LOG_VERBOSE, "TarnStubDefaultNotificationPeer::OnNewPolicy", L"New Policy = %s",
             policy.ToString().c_str());
    if (auto callback = Deliverable(callbacks_.newPolicy)) callback(policy.id, policy.type, policy.pac);
}

void TarnStubDefaultNotificationPeer::OnNewOperation(GUID opId, ULONG opType, const std::wstring& opContent) {
    const char* const kName = "TarnStubDefaultNotificationPeer::OnNewOperation";
    const std::wstring id = GuidToString(opId);
    WriteLog(LOG_VERBOSE, kName, L"New Operation, type: %lu, id: %s", opType, id.c_str());
    auto callback = Deliverable(callbacks_.newOperation);
    if (!callback) return;
    win::UniqueBstr content = win::UniqueBstr::Copy(opContent);
    if (!content.get()) return;  // no memory for the copy: the notification is dropped
    WriteLog(LOG_VERBOSE, kName, L"Sending operation to blade callback function, type: %lu, id: %s", opType,
             id.c_str());
    callback(opId, opType, content.get());
}

void TarnStubDefaultNotificationPeer::OnActivationStatusChanged(PacList pacs) {
    WriteLog(LOG_VERBOSE, "TarnStubDefaultNotificationPeer::OnActivationStatusChanged", L"PAC list length =%d",
             pacs.count);
    if (auto callback = Deliverable(callbacks_.activationStatus)) callback(pacs.values.get(), pacs.count);
}

void TarnStubDefaultNotificationPeer::OnPayloadResponse(const std::wstring& payloadType, const std::wstring& payload) {
    WriteLog(LOG_VERBOSE, "TarnStubDefaultNotificationPeer::OnPayloadResponse",
             L"OnPayloadResponse, payload response received type: %s", payloadType.c_str());
    auto callback = Deliverable(callbacks_.payloadResponse);
    if (!callback) return;
    win::UniqueBstr type = win::UniqueBstr::Copy(payloadType);
    win::UniqueBstr data = win::UniqueBstr::Copy(payload);
    if (type.get() && data.get()) callback(type.get(), data.get());
}

void TarnStubDefaultNotificationPeer::OnReportIncident(const std::wstring& incidentId, ULONG incidentType,
                                                       const std::wstring& detail1, const std::wstring& detail2,
                                                       const std::wstring& detail3, LONG value1, ULONG value2,
                                                       ULONG value3, const std::wstring& detail4) {
    WriteLog(LOG_VERBOSE, "TarnStubDefaultNotificationPeer::OnReportIncident",
             L"TarnStubDefaultNotificationPeer ReportIncident =%s", incidentId.c_str());
    auto callback = Deliverable(callbacks_.reportIncident);
    if (!callback) return;
    using win::UniqueBstr;
    UniqueBstr id = UniqueBstr::Copy(incidentId), d1 = UniqueBstr::Copy(detail1), d2 = UniqueBstr::Copy(detail2),
               d3 = UniqueBstr::Copy(detail3), d4 = UniqueBstr::Copy(detail4);
    if (!id.get() || !d1.get() || !d2.get() || !d3.get() || !d4.get()) return;
    callback(id.get(), incidentType, d1.get(), d2.get(), d3.get(), value1, value2, value3, d4.get());
}
