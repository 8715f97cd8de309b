#include "ServerLifetime.h"

#include "RefState.h"

#include <rpc.h>
#include <rpcdcep.h>

namespace tarnref {
namespace {

// Long enough for a client to get the class object and create its object in
// two steps, or to let go of one object and create the next.
constexpr ULONGLONG kLingerMs = 400;
// A server that was started but never used.
constexpr ULONGLONG kUnusedMs = 30000;
constexpr DWORD kPollMs = 50;

}  // namespace

ServerLifetime& ServerLifetime::Instance() {
    static ServerLifetime* const instance = new ServerLifetime();
    return *instance;
}

// Called inside COM calls: nothing may be thrown from here.
void ServerLifetime::NoteClient(ULONG processId) try {
    if (processId == 0 || processId == ::GetCurrentProcessId()) return;
    win::Lock guard(lock_);
    if (clients_.count(processId)) return;
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    // A process that cannot be opened is gone already, or not to be watched.
    if (process) clients_[processId] = std::move(process);
} catch (...) {}

void ServerLifetime::ObjectConnected(ULONG ownerProcessId) try {
    win::Lock guard(lock_);
    ++objects_[ownerProcessId];
} catch (...) {}

void ServerLifetime::ObjectDisconnected(ULONG ownerProcessId) {
    win::Lock guard(lock_);
    const auto found = objects_.find(ownerProcessId);
    if (found != objects_.end() && --found->second <= 0) objects_.erase(found);
}

bool ServerLifetime::IsClientGone(ULONG processId) {
    const auto found = clients_.find(processId);
    return found != clients_.end() && ::WaitForSingleObject(found->second.get(), 0) == WAIT_OBJECT_0;
}

long ServerLifetime::Activity() {
    long held = 0;
    {
        win::Lock guard(lock_);
        for (const auto& owner : objects_) {
            if (!IsClientGone(owner.first)) held += owner.second;
        }
    }
    const long extra = extraActivity_ ? extraActivity_() : 0;
    return held + g_clientCallsInFlight + extra + locks_;
}

bool ServerLifetime::HasClients() {
    win::Lock guard(lock_);
    return !clients_.empty();
}

bool ServerLifetime::EveryClientGone() {
    win::Lock guard(lock_);
    if (clients_.empty()) return false;
    for (const auto& client : clients_) {
        if (::WaitForSingleObject(client.second.get(), 0) != WAIT_OBJECT_0) return false;
    }
    return true;
}

void ServerLifetime::WaitForEnd() {
    const ULONGLONG started = ::GetTickCount64();
    bool used = false;
    ULONGLONG idleSince = started;
    for (;;) {
        ::Sleep(kPollMs);
        const ULONGLONG now = ::GetTickCount64();
        if (EveryClientGone()) return;
        if (Activity() > 0 || (!used && HasClients())) {
            used = true;
            idleSince = now;
            continue;
        }
        if (used && now - idleSince >= kLingerMs) return;
        if (!used && now - started >= kUnusedMs) return;
    }
}

ULONG CallerProcessId() {
    unsigned long processId = 0;
    if (::I_RpcBindingInqLocalClientPID(nullptr, &processId) != RPC_S_OK) {
        return ::GetCurrentProcessId();
    }
    ServerLifetime::Instance().NoteClient(processId);
    return processId;
}

}  // namespace tarnref
