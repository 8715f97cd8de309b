// The notification peer: where the adaptor delivers server notifications and
// adaptor errors. The base class only logs.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "records/PolicyInfo.h"

// A PAC list handed to a peer by value: the callee owns it.
struct PacList {
    std::unique_ptr<LONG[]> values;
    LONG count = 0;
};

class TarnNotificationPeer {
public:
    virtual ~TarnNotificationPeer() = default;
    virtual void OnConnect();
    virtual void OnNewPolicy(const PolicyInfo& policy);
    virtual void OnNewOperation(GUID opId, ULONG opType, const std::wstring& opContent);
    virtual void OnActivationStatusChanged(PacList pacs);
    virtual void OnPayloadResponse(const std::wstring& payloadType, const std::wstring& payload);
    virtual void OnAdaptorError(HRESULT code, const std::wstring& message);
    virtual void OnReportIncident(const std::wstring& incidentId, ULONG incidentType, const std::wstring& detail1,
                                  const std::wstring& detail2, const std::wstring& detail3, LONG value1, ULONG value2,
                                  ULONG value3, const std::wstring& detail4);
};
