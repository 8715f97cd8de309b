// The callback registration exports. The callbacks are module items: they
// survive Finalize and a later Initialize.

#include "stub/ModuleState.h"
#include "stub/Session.h"

namespace {

// The checks shared by the registrations that need the stub's peer.
template <typename Callback>
DWORD RegisterPeerCallback(std::atomic<Callback>& slot, Callback callback) {
    ModuleState& module = Module();
    win::Lock lock(module.moduleLock);
    if (!module.session) return TARNSTUB_NOT_INITIALIZED;
    if (!module.session->HasPeer()) return TARNSTUB_NO_NOTIFICATION_PEER;
    if (!callback) return TARNSTUB_NULL_CALLBACK;
    slot = callback;
    return TARNSTUB_OK;
}

}  // namespace

extern "C" {

DWORD __cdecl RegisterConnectToTarnNotificationCallback(TarnConnectCallback callback) {
    ModuleState& module = Module();
    win::Lock lock(module.moduleLock);
    if (!callback) return TARNSTUB_NULL_CALLBACK;
    module.callbacks.connect = callback;
    return TARNSTUB_OK;
}

DWORD __cdecl RegisterNewPolicyArrivalNotificationCallback(TarnNewPolicyCallback callback) {
    return RegisterPeerCallback(Module().callbacks.newPolicy, callback);
}

DWORD __cdecl RegisterNewOperationArrivalNotificationCallback(TarnNewOperationCallback callback) {
    return RegisterPeerCallback(Module().callbacks.newOperation, callback);
}

DWORD __cdecl RegisterActivationStatusChangedNotificationCallback(TarnActivationStatusCallback callback) {
    return RegisterPeerCallback(Module().callbacks.activationStatus, callback);
}

DWORD __cdecl RegisterOnPayloadResponseNotificationCallback(TarnPayloadResponseCallback callback) {
    return RegisterPeerCallback(Module().callbacks.payloadResponse, callback);
}

DWORD __cdecl RegisterReportIncidentNotificationCallback(TarnReportIncidentCallback callback) {
    return RegisterPeerCallback(Module().callbacks.reportIncident, callback);
}

DWORD __cdecl RegisterSettingsUpdateCallback(TarnSettingsUpdateCallback callback) {
    ModuleState& module = Module();
    win::Lock lock(module.moduleLock);
    if (!module.session) return TARNSTUB_NOT_INITIALIZED;
    if (!module.session->HasPeer()) return TARNSTUB_NO_NOTIFICATION_PEER;
    if (module.session->Type().peer != PeerKind::RemoteAccess) return TARNSTUB_SETTINGS_CALLBACK_NOT_VPN;
    // A null callback is accepted: it clears the registration. The slot is
    // the session's: a new session starts without one.
    module.session->SettingsUpdateCallback() = callback;
    return TARNSTUB_OK;
}

}  // extern "C"
