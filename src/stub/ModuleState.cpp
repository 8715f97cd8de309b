#include "stub/ModuleState.h"

#include "stub/Session.h"

ModuleState& Module() {
    // Created with the DLL's static objects; lives until the DLL is unloaded.
    static ModuleState state;
    return state;
}

ModuleState::ModuleState() = default;

// A session's thread holds the module, so a session still here is one the
// process is ending without Finalize: its parts are left alone (see
// ~Session), since stopping them would wait for threads under the loader lock.
ModuleState::~ModuleState() = default;

TarnAdaptor* ModuleState::Adaptor() const { return session ? session->Adaptor() : nullptr; }

namespace {
// Creates the module state, and with it the module lock, while the DLL loads.
struct ModuleStateAtLoad {
    ModuleStateAtLoad() { Module(); }
} moduleStateAtLoad;
}  // namespace
