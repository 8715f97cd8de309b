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
    std::shared_ptr<Session> session;
    std::shared_ptr<Session> stopping;
    // The current session's adaptor, or none (under the module lock).
    TarnAdaptor* Adaptor() const;

    std::optional<std::vector<ULONG>> policyTypes;
    std::optional<std::vector<std::wstring>> payloadResponseTypes;
    BladeCallbacks callbacks;
};

ModuleState& Module();
