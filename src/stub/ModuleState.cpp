#include "stub/ModuleState.h"

#include "adaptor/TarnAdaptor.h"

ModuleState& Module() {
    // Created with the DLL's static objects; lives until the DLL is unloaded.
    static ModuleState state;
    return state;
}

namespace {
// Creates the module state, and with it the module lock, while the DLL loads.
struct ModuleStateAtLoad {
    ModuleStateAtLoad() { Module(); }
} moduleStateAtLoad;
}  // namespace
