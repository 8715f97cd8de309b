// The stub's process-wide state: the current session, the one still
// stopping, the settings made before initialisation and the blade's
// callbacks.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stub/BladeCallbacks.h"
#include "win/raii.h"

class Session;
class TarnAdaptor;

struct ModuleState {
    ModuleState();
    ~ModuleState();
    ModuleState(const ModuleState&) = delete;
    ModuleState& operator=(const ModuleState&) = delete;

    // Serialises the exports. Held by every request export while its worker
    // runs, by the registration and settings exports and by a session's
    // initialisation. Finalize holds it only to take the session out.
    win::CriticalSection moduleLock;

    // Under the module lock: the initialised session, and the last one
    // Finalize took out until it has ended.
    std::shared_ptr<Session> session GUARDED_BY(moduleLock);
    std::shared_ptr<Session> stopping GUARDED_BY(moduleLock);
    // The current session's adaptor, or none.
    TarnAdaptor* Adaptor() const REQUIRES(moduleLock);

    std::optional<std::vector<ULONG>> policyTypes GUARDED_BY(moduleLock);
    std::optional<std::vector<std::wstring>> payloadResponseTypes GUARDED_BY(moduleLock);
    BladeCallbacks callbacks;
};

ModuleState& Module();
