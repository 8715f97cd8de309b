// The peer of most blade types: it forwards each notification to the plain
// callback the blade registered, and only logs adaptor errors.
#pragma once

#include <memory>

#include "notify/TarnNotificationPeer.h"

class TarnStubDefaultNotificationPeer : public TarnNotificationPeer {
public:
    ~TarnStubDefaultNotificationPeer() override = default;
    void OnConnect() override;
    void OnNewPolicy(const PolicyInfo& policy) override;
    void OnNewOperation(GUID opId, ULONG opType, const std::wstring& opContent) override;
    void OnActivationStatusChanged(PacList pacs) override;
    void OnPayloadResponse(const std::wstring& payloadType, const std::wstring& payload) override;
    void OnReportIncident(const std::wstring& incidentId, ULONG incidentType, const std::wstring& detail1,
                          const std::wstring& detail2, const std::wstring& detail3, LONG value1,
                          ULONG value2, ULONG value3, const std::wstring& detail4) override;
};

// The peer the stub creates for a blade type: a VPNNotificationPeer for 6,
// none for 8 and 11, a TarnStubDefaultNotificationPeer for 9 and 12 to 16.
// False for any other blade type or when the peer cannot be allocated.
bool CreateDefaultNotificationPeer(LONG bladeType, std::unique_ptr<TarnNotificationPeer>& peer);
