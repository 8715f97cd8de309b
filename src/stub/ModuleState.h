// The stub's process-wide state: the one adaptor, the notification peer the
// stub created for the blade type, the settings made before initialisation
// and the blade's callbacks.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tarnstub.h"
#include "win/raii.h"

class TarnAdaptor;
class TarnNotificationPeer;

// The blade's registered callbacks. They are read at the moment of delivery
// without the module lock, so each slot is atomic.
struct BladeCallbacks {
    std::atomic<TarnConnectCallback> connect{nullptr};
    std::atomic<TarnNewPolicyCallback> newPolicy{nullptr};
    std::atomic<TarnNewOperationCallback> newOperation{nullptr};
    std::atomic<TarnActivationStatusCallback> activationStatus{nullptr};
    std::atomic<TarnPayloadResponseCallback> payloadResponse{nullptr};
    std::atomic<TarnReportIncidentCallback> reportIncident{nullptr};
};

struct ModuleState {
    // Serialises the exports. Held by every request export while its worker
    // runs, by the registration exports and by the initialisation thread.
    win::CriticalSection moduleLock;
    // Serialises initialisation against Finalize. Finalize holds it, not the
    // module lock, while it waits for the adaptor's threads to end, so that a
    // blade callback running on one of them may still call an export.
    win::CriticalSection lifecycleLock;

    // Read without the module lock by deliveries ("does the adaptor still
    // exist?"); written under it.
    std::atomic<TarnAdaptor*> adaptor{nullptr};
    std::unique_ptr<TarnNotificationPeer> peer;
    LONG bladeType = -1;
    std::optional<std::vector<ULONG>> policyTypes;
    std::optional<std::vector<std::wstring>> payloadResponseTypes;
    BladeCallbacks callbacks;
};

ModuleState& Module();
