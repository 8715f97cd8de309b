// What the callback bridge needs of the adaptor that owns it. The adaptor
// implements it; the bridge knows nothing else of the adaptor.
#pragma once

#include <windows.h>
#include <oleauto.h>

class IBridgeOwner {
public:
    // Only the incident-recording blade's bridge answers for IKestrel and
    // takes incident reports.
    virtual bool ReceivesIncidents() const = 0;
    // Hands the payload the blade collected to the server's pull: both
    // out-parameters stay untouched when there is none.
    virtual HRESULT GetPayload(SAFEARRAY** payload, BSTR* payloadType) = 0;

protected:
    // Never destroyed through this interface: the bridge only observes its owner.
    ~IBridgeOwner() = default;
};
