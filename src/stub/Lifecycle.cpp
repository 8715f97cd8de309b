// The lifecycle exports: the initialisation family and Finalize, and the
// settings a blade makes before initialisation. Each initialisation is a
// session (stub/Session.h); these exports only start, find and stop one.
#include <new>

#include "log/Guarded.h"
#include "stub/ModuleState.h"
#include "stub/Session.h"

namespace {

constexpr DWORD kHighestInitializableBladeType = 48;

// 0 when a new session may start; 1 or 3 when not. A session that is still
// stopping is waited for, outside the module lock, unless the caller is one
// of its own threads (its connect or delivery callbacks), which it waits for.
DWORD AwaitRoomForASession() {
    ModuleState& module = Module();
    for (;;) {
        std::shared_ptr<Session> stopping;
        {
            win::Lock lock(module.moduleLock);
            if (module.session) return TARNSTUB_ALREADY_INITIALIZED;
            if (!module.stopping || module.stopping->Ended()) return TARNSTUB_OK;
            if (module.stopping->RoleOf(GetCurrentThreadId()) != Session::Role::Outside)
                return TARNSTUB_PEER_STILL_HELD;
            stopping = module.stopping;
        }
        stopping->AwaitEnd();
    }
}

DWORD RunInitialization(ULONG bladeType) {
    for (;;) {
        if (const DWORD code = AwaitRoomForASession(); code != TARNSTUB_OK) return code;
        const BladeTypeInfo* type = FindBladeType(static_cast<LONG>(bladeType));
        if (!type || !type->initializable) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;
        std::shared_ptr<Session> session;
        try {
            session = std::make_shared<Session>(*type);
        } catch (const std::bad_alloc&) {
            return TARNSTUB_ADAPTOR_CREATION_FAILED;
        }
        const DWORD result = Session::Run(session);
        // Another Finalize came in between: wait for that session too.
        if (result != Session::kEarlierSessionStopping) return result;
    }
}

DWORD InitializeGuarded(ULONG bladeType) {
    try {
        return RunInitialization(bladeType);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
}

// Takes the session out of the module state and hands its stop to the
// session's thread. From a connect callback (the connection attempt is not
// over yet) it returns at once; from a delivery callback it returns once the
// server has been told, without waiting for its own delivery; otherwise once
// the session has ended.
DWORD FinalizeSession() {
    ModuleState& module = Module();
    std::shared_ptr<Session> session;
    Session::Role role = Session::Role::Outside;
    {
        win::Lock lock(module.moduleLock);
        if (!module.session) return TARNSTUB_NOT_INITIALIZED;
        session = std::move(module.session);
        module.stopping = session;
        role = session->RoleOf(GetCurrentThreadId());
        session->RequestStop();
    }
    switch (role) {
        case Session::Role::Connecting: break;
        case Session::Role::Delivering: session->AwaitUnregistered(); break;
        case Session::Role::Outside: session->AwaitEnd(); break;
    }
    return TARNSTUB_OK;
}

// Replaces one of the module's lists, under the module lock like every
// other export: initialisation reads the lists.
template <typename List, typename Fill>
DWORD ReplaceModuleList(std::optional<List> ModuleState::* member, Fill fill) {
    ModuleState& module = Module();
    win::Lock lock(module.moduleLock);
    if (module.session) return TARNSTUB_SETTING_AFTER_INIT;
    std::optional<List>& list = module.*member;
    list.reset();
    try {
        List filled;
        fill(filled);
        list = std::move(filled);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    return TARNSTUB_OK;
}

}  // namespace

extern "C" {

DWORD __cdecl Initialize(DWORD bladeType) {
    if (bladeType > kHighestInitializableBladeType) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;
    return InitializeGuarded(bladeType);
}

DWORD __cdecl InitializeUiTarnStub(void) { return InitializeGuarded(8); }
DWORD __cdecl InitializeLumenTarnStub(void) { return InitializeGuarded(6); }
DWORD __cdecl InitializeUrlFilteringTarnStub(void) { return InitializeGuarded(9); }

// Allocates nothing and starts nothing, so it cannot fail half way.
DWORD __cdecl Finalize(void) { return FinalizeSession(); }

DWORD __cdecl SetSupportedPolicyTypes(const DWORD* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    return ReplaceModuleList(&ModuleState::policyTypes,
                             [&](std::vector<ULONG>& list) { list.assign(types, types + count); });
}

DWORD __cdecl SetSupportedPayloadResponseTypes(const wchar_t* const* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    return ReplaceModuleList(&ModuleState::payloadResponseTypes, [&](std::vector<std::wstring>& list) {
        for (LONG i = 0; i < count; ++i) list.emplace_back(types[i] ? types[i] : L"");
    });
}

}  // extern "C"
