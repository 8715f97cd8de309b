// The one serving server process: it holds the instance mutex, publishes its
// process id and says when it is ready, for TarnRef_StartServer and
// TarnRef_ServerProcessId.
#pragma once

#include "win/raii.h"

namespace tarnref {

class ServerInstance {
public:
    // Waits a few seconds for a previous server that is still ending; false
    // when another server keeps serving.
    bool Claim();
    // The class objects are registered: clients may come.
    void AnnounceReady();

private:
    win::UniqueHandle mutex_;
    win::UniqueHandle mapping_;
    win::UniqueHandle ready_;
};

}  // namespace tarnref
