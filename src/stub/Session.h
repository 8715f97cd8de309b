// One initialisation of the stub: everything that lives from Initialize to
// Finalize. A session owns the adaptor, the notification peer the stub made
// for the blade type, the delivery queues of the server's notifications,
// and a thread of the multithreaded apartment that lives as long as the
// session. That thread initialises the session, keeps the apartment alive
// while the adaptor uses it, and is where the session is stopped: Finalize
// only hands the stop to it and waits.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "adaptor/BladeTypes.h"
#include "stub/BladeCallbacks.h"
#include "stub/ModuleState.h"
#include "win/raii.h"

class NotificationDelivery;
class TarnAdaptor;
class TarnNotificationPeer;

class Session : public std::enable_shared_from_this<Session> {
public:
    // What the session's thread answers when an earlier session is still
    // stopping: the caller waits for that one and tries again.
    static constexpr DWORD kEarlierSessionStopping = 0xFFFFFFFFu;

    explicit Session(const BladeTypeInfo& type);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the session's thread and waits until it has initialised. The
    // result is the initialisation's code; with 0 the session is the
    // module's until Finalize takes it, with any other code nothing of it is
    // left by the time it returns.
    static DWORD Run(const std::shared_ptr<Session>& session);

    // The session's adaptor. Read under the module lock while the session is
    // the module's: it goes only once Finalize has taken the session out.
    TarnAdaptor* Adaptor() const { return adaptor_.get(); }
    bool HasPeer() const { return peer_ != nullptr; }
    const BladeTypeInfo& Type() const { return type_; }
    std::atomic<TarnSettingsUpdateCallback>& SettingsUpdateCallback() { return settingsUpdate_; }

    // How a thread that calls into the stub stands to this session.
    enum class Role {
        Outside,     // a thread of the blade's, or of another session
        Connecting,  // inside a connection attempt: the first (the session's own thread) or a reconnection
        Delivering,  // inside a delivery of a notification or an incident report
    };
    Role RoleOf(DWORD threadId) const;

    // Finalize, under the module lock: the session stops serving the blade
    // and its thread is asked to stop it. Needs no thread and no memory.
    void RequestStop();
    // The server has been told (the unregistrations reached it or failed)
    // and no callback but the one on the thread that asked runs any more.
    void AwaitUnregistered() const;
    // The session's thread has ended: everything of the session is gone.
    void AwaitEnd() const;
    bool Ended() const;

private:
    void Main();
    // The initialisation, under the module lock.
    DWORD Initialize(ModuleState& module);
    // Hands the module's lists to the adaptor and makes the peer: 0, 31 or 7.
    DWORD Prepare(ModuleState& module) REQUIRES(module.moduleLock);
    void MakePeer(const BladeCallbacks& callbacks);
    void Stop();
    void DestroyParts();

    const BladeTypeInfo& type_;
    // True while the session is the blade's: its peer calls the blade.
    std::atomic<bool> serving_{false};
    std::atomic<TarnSettingsUpdateCallback> settingsUpdate_{nullptr};

    // The parts. Only the session's thread sets them (under partsLock_ and
    // the module lock) and destroys them (under partsLock_, once the session
    // has stopped), so that thread reads them freely; RoleOf reads them
    // under partsLock_, and the exports under the module lock while the
    // session is the module's. That is more than one lock can say, so they
    // carry no GUARDED_BY.
    mutable win::CriticalSection partsLock_;
    std::unique_ptr<TarnAdaptor> adaptor_;
    std::unique_ptr<TarnNotificationPeer> peer_;
    std::unique_ptr<NotificationDelivery> delivery_;

    win::UniqueHandle thread_;
    std::atomic<DWORD> threadId_{0};
    win::UniqueHandle initialized_;
    win::UniqueHandle stopRequested_;
    win::UniqueHandle unregistered_;
    DWORD initResult_ = kEarlierSessionStopping;
    // The thread that asked for the stop: its own delivery is not waited for.
    std::atomic<DWORD> requester_{0};
};
