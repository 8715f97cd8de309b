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

// An adaptor taken out of the module state, with the peer it may still call
// until it is gone (so the peer is declared first: destroyed last).
struct Retiree {
    Retiree();
    ~Retiree();
    Retiree(Retiree&&) noexcept;
    Retiree& operator=(Retiree&&) noexcept;

    std::unique_ptr<TarnNotificationPeer> peer;
    std::unique_ptr<TarnAdaptor> adaptor;
    // Links the retirees whose stop could not be started.
    std::unique_ptr<Retiree> next;
};

struct ModuleState {
    ModuleState();
    ~ModuleState();
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    // Serialises the exports. Held by every request export while its worker
    // runs, by the registration exports, the settings exports and the
    // initialisation thread. Finalize holds it only to take the adaptor out:
    // it stops the adaptor holding no lock, so that a blade callback running
    // on one of the adaptor's threads may still call any export meanwhile.
    win::CriticalSection moduleLock;

    // The one adaptor: owned here under the module lock; the observer is
    // read without the lock by deliveries ("does the adaptor still exist?").
    TarnAdaptor* Adaptor() const { return adaptor_.load(); }
    void PublishAdaptor(std::unique_ptr<TarnAdaptor> adaptor);
    std::unique_ptr<TarnAdaptor> WithdrawAdaptor();

    std::unique_ptr<TarnNotificationPeer> peer;
    LONG bladeType = -1;
    std::optional<std::vector<ULONG>> policyTypes;
    std::optional<std::vector<std::wstring>> payloadResponseTypes;
    BladeCallbacks callbacks;
    // Adaptors a Finalize took out but could not stop (no thread for it):
    // the next Finalize stops them.
    std::unique_ptr<Retiree> abandoned;

private:
    std::unique_ptr<TarnAdaptor> ownedAdaptor_;
    std::atomic<TarnAdaptor*> adaptor_{nullptr};
};

ModuleState& Module();
