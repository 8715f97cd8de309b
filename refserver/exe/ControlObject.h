// The control object of the server process: ITarnRefControl, each method the
// in-process control function of the same name, and its class object.
#pragma once

#include "TarnRefControlIdl.h"

namespace tarnref {

// The class object of the control class; creating it does not count as a
// client's hold on the server.
IClassFactory* NewControlClassFactory();

// Ends the process now, its class objects revoked first.
[[noreturn]] void ExitServerNow();

}  // namespace tarnref
