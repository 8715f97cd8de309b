// For test programs that link the stub's code: the adaptor of the current
// session, looked up under the module lock (a snapshot: it may go as soon as
// the lock is left).
#pragma once

#include "stub/ModuleState.h"

namespace tarn_test {

inline TarnAdaptor* CurrentAdaptor() {
    ModuleState& module = Module();
    win::Lock lock(module.moduleLock);
    return module.Adaptor();
}

}  // namespace tarn_test
