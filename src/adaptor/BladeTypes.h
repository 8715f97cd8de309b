// Every blade type the stub knows, in one table: its GUID, whether a blade
// may initialise with it, which notification peer the stub gives it, the
// policy types it subscribes to when the blade set none, and whether it
// receives incident reports.
#pragma once

#include <windows.h>

#include <array>
#include <vector>

enum class PeerKind {
    None,          // no stub peer: the adaptor moves the blade into the monitoring range
    Default,       // TarnStubDefaultNotificationPeer: the blade's registered callbacks
    RemoteAccess,  // VPNNotificationPeer: the settings-update callback only
};

struct BladeTypeInfo {
    LONG bladeType;
    GUID guid;
    bool initializable;
    PeerKind peer;
    std::array<ULONG, 4> defaultPolicyTypes;
    size_t defaultPolicyTypeCount;
    // Only this blade's callback object answers for IKestrel.
    bool receivesIncidents;

    std::vector<ULONG> DefaultPolicyTypes() const;
};

// The row of bladeType, or none for a type the stub does not know.
const BladeTypeInfo* FindBladeType(LONG bladeType);
