#include "stub/ModuleState.h"

#include "adaptor/TarnAdaptor.h"

ModuleState& Module() {
    // Created with the DLL's static objects; lives until the DLL is unloaded.
    static ModuleState state;
    return state;
}

Retiree::Retiree() = default;
Retiree::~Retiree() = default;
Retiree::Retiree(Retiree&&) noexcept = default;
Retiree& Retiree::operator=(Retiree&&) noexcept = default;

ModuleState::ModuleState() = default;

// An adaptor still here when the stub is unloaded (the blade never called
// Finalize) is left alone: stopping it would wait for its threads under the
// system's loader lock.
ModuleState::~ModuleState() { static_cast<void>(ownedAdaptor_.release()); }

void ModuleState::PublishAdaptor(std::unique_ptr<TarnAdaptor> adaptor) {
    adaptor_ = adaptor.get();
    ownedAdaptor_ = std::move(adaptor);
}

std::unique_ptr<TarnAdaptor> ModuleState::WithdrawAdaptor() {
    adaptor_ = nullptr;
    return std::move(ownedAdaptor_);
}

namespace {
// Creates the module state, and with it the module lock, while the DLL loads.
struct ModuleStateAtLoad {
    ModuleStateAtLoad() { Module(); }
} moduleStateAtLoad;
}  // namespace
