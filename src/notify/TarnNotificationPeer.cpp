#include "notify/TarnNotificationPeer.h"

#include "log/AdaptorLog.h"

void TarnNotificationPeer::OnConnect() { WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnConnect", L"Connected"); }

void TarnNotificationPeer::OnNewPolicy(const PolicyInfo& policy) {
    WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnNewPolicy", L"New Policy: %s", policy.ToString().c_str());
}

void TarnNotificationPeer::OnNewOperation(GUID opId, ULONG opType, const std::wstring& opContent) {
    WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnNewOperation",
             L"New Operation. OpGuid: %s, OpType: %lu, OpContent: %s", GuidToString(opId).c_str(), opType,
             opContent.c_str());
}

void TarnNotificationPeer::OnActivationStatusChanged(PacList pacs) {
    WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnActivationStatusChanged", L"PAC list length: %d", pacs.count);
}

void TarnNotificationPeer::OnPayloadResponse(const std::wstring& payloadType, const std::wstring&) {
    WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnPayloadResponse", L"Payload response received, type: %s",
             payloadType.c_str());
}

void TarnNotificationPeer::OnAdaptorError(HRESULT code, const std::wstring& message) {
    WriteLog(LOG_ERROR, "TarnNotificationPeer::OnAdaptorError", L"hr: 0x%08x message: %s", code, message.c_str());
}

void TarnNotificationPeer::OnReportIncident(const std::wstring& incidentId, ULONG, const std::wstring&,
                                            const std::wstring&, const std::wstring&, LONG, ULONG, ULONG,
                                            const std::wstring&) {
    WriteLog(LOG_VERBOSE, "TarnNotificationPeer::OnReportIncident", L"OnReportIncident received IncidentID: %s",
             incidentId.c_str());
}
