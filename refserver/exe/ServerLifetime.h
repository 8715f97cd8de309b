// When the server process ends by itself: its last client gone (after a short
// linger), every client process it has seen ended (also one that died
// holding objects), or started and never used.
#pragma once

#include "win/raii.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>

namespace tarnref {

class ServerLifetime {
public:
    static ServerLifetime& Instance();

    // What keeps the server busy besides the objects it counts itself (for
    // example references to the class object held by clients).
    void SetExtraActivity(std::function<long()> extra) { extraActivity_ = std::move(extra); }
    // A process that made a call into the server; it is watched from now on.
    void NoteClient(ULONG processId) EXCLUDES(lock_);
    // Objects a client process holds (server and control objects, as their
    // external connections come and go). Those of a process that has ended
    // no longer keep the server.
    void ObjectConnected(ULONG ownerProcessId) EXCLUDES(lock_);
    void ObjectDisconnected(ULONG ownerProcessId) EXCLUDES(lock_);
    // A client's IClassFactory::LockServer.
    void Lock(bool locked) { locks_ += locked ? 1 : -1; }

    // Returns when the server should end.
    void WaitForEnd();

private:
    ServerLifetime() = default;
    long Activity() EXCLUDES(lock_);
    bool HasClients() EXCLUDES(lock_);
    bool IsClientGone(ULONG processId) REQUIRES(lock_);
    bool EveryClientGone() EXCLUDES(lock_);

    win::CriticalSection lock_;
    std::map<ULONG, win::UniqueHandle> clients_ GUARDED_BY(lock_);
    std::map<ULONG, long> objects_ GUARDED_BY(lock_);  // per owner
    std::function<long()> extraActivity_;
    std::atomic<long> locks_{0};
};

// The process id of the caller of the current incoming call (the server's
// own id outside a call); the caller is noted as a client.
ULONG CallerProcessId();

}  // namespace tarnref
