#include "stub/Session.h"

#include <new>

#include "adaptor/TarnAdaptor.h"
#include "log/Guarded.h"
#include "notify/Delivery.h"
#include "notify/TARNClientBridge.h"
#include "stub/DefaultNotificationPeer.h"
#include "stub/ModuleState.h"
#include "stub/VPNNotificationPeer.h"
#include "win/Threads.h"

namespace {

win::UniqueHandle ManualResetEvent() { return win::UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

}  // namespace

Session::Session(const BladeTypeInfo& type)
    : type_(type),
      initialized_(ManualResetEvent()),
      stopRequested_(ManualResetEvent()),
      unregistered_(ManualResetEvent()) {
    if (!initialized_ || !stopRequested_ || !unregistered_) throw std::bad_alloc();
}

// Normally the session's thread has destroyed the parts. Parts still here
// belong to a process that ends without Finalize: they are left alone, since
// stopping them would wait for threads the system has already ended.
Session::~Session() {
    static_cast<void>(adaptor_.release());
    static_cast<void>(delivery_.release());
    static_cast<void>(peer_.release());
}

DWORD Session::Run(const std::shared_ptr<Session>& session) {
    {
        // The thread's handle is in place before the session can be seen:
        // the thread publishes it under this lock.
        win::Lock lock(Module().moduleLock);
        session->thread_ = win::StartModuleThread([session] { session->Main(); });
    }
    if (!session->thread_) return TARNSTUB_THREAD_START_FAILED;
    if (WaitForSingleObject(session->initialized_.get(), INFINITE) != WAIT_OBJECT_0) return TARNSTUB_THREAD_WAIT_FAILED;
    return session->initResult_;
}

void Session::Main() {
    threadId_ = GetCurrentThreadId();
    // The session's own hold on the multithreaded apartment: the adaptor's
    // server pointer and callback object live in it until the stop is over,
    // whatever threads the blade calls from.
    win::MtaScope mta;
    DWORD result =
        Guarded("Initialize", static_cast<DWORD>(TARNSTUB_OUT_OF_MEMORY), [this] { return Initialize(Module()); });
    const bool serves = result == TARNSTUB_OK;
    // An adaptor that did not start leaves nothing behind before the blade
    // hears the code.
    if (!serves) Stop();
    initResult_ = result;
    SetEvent(initialized_.get());
    if (!serves) return;
    WaitForSingleObject(stopRequested_.get(), INFINITE);
    Stop();
}

DWORD Session::Initialize(ModuleState& module) {
    win::Lock lock(module.moduleLock);
    if (module.session) return TARNSTUB_ALREADY_INITIALIZED;
    if (module.stopping && !module.stopping->Ended()) return kEarlierSessionStopping;
    module.stopping.reset();

    std::unique_ptr<TarnAdaptor> adaptor;
    try {
        adaptor = std::make_unique<TarnAdaptor>();
    } catch (...) {
        return TARNSTUB_ADAPTOR_CREATION_FAILED;
    }
    {
        win::Lock parts(partsLock_);
        adaptor_ = std::move(adaptor);
    }
    // The module's from here on: the blade's connect callback may use any
    // export during the first connection.
    module.session = shared_from_this();
    serving_ = true;
    DWORD result = Prepare(module);
    if (result == TARNSTUB_OK) {
        adaptor_->DeliverNotificationsTo(delivery_.get());
        const ULONG bladeType = static_cast<ULONG>(type_.bladeType);
        if (SUCCEEDED(
                Guarded("TarnAdaptor::Init", E_OUTOFMEMORY, [&] { return adaptor_->Init(bladeType, peer_.get()); })))
            return TARNSTUB_OK;
        result = TARNSTUB_ADAPTOR_INIT_FAILED;
    }
    // An adaptor that did not start is not left behind. (A Finalize from the
    // blade's connect callback may have taken the session already.)
    if (module.session.get() == this) {
        module.session.reset();
        serving_ = false;
    }
    return result;
}

DWORD Session::Prepare(ModuleState& module) {
    try {
        if (!module.policyTypes) module.policyTypes = type_.DefaultPolicyTypes();
        adaptor_->SetSupportedPoliceis(*module.policyTypes);
        if (module.payloadResponseTypes) adaptor_->SetSupportedPayloadResponseTypes(*module.payloadResponseTypes);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    try {
        MakePeer(module.callbacks);
    } catch (const std::bad_alloc&) {
        win::Lock lock(partsLock_);
        delivery_.reset();
        peer_.reset();
        return TARNSTUB_PEER_CREATION_FAILED;
    }
    return TARNSTUB_OK;
}

void Session::MakePeer(const BladeCallbacks& callbacks) {
    std::unique_ptr<TarnNotificationPeer> peer;
    switch (type_.peer) {
        case PeerKind::Default: peer = std::make_unique<TarnStubDefaultNotificationPeer>(callbacks, serving_); break;
        case PeerKind::RemoteAccess:
            peer = std::make_unique<VPNNotificationPeer>(*adaptor_, serving_, settingsUpdate_);
            break;
        case PeerKind::None: return;
    }
    auto delivery = std::make_unique<NotificationDelivery>(*peer);
    win::Lock lock(partsLock_);
    peer_ = std::move(peer);
    delivery_ = std::move(delivery);
}

Session::Role Session::RoleOf(DWORD threadId) const {
    if (threadId == threadId_.load()) return Role::Connecting;
    win::Lock lock(partsLock_);
    if (adaptor_ && adaptor_->IsMonitorThread(threadId)) return Role::Connecting;
    if (delivery_ && delivery_->IsDeliveryThread(threadId)) return Role::Delivering;
    if (adaptor_ && adaptor_->Context()->CallbackObject()->IsServingThread(threadId)) return Role::Delivering;
    return Role::Outside;
}

void Session::RequestStop() {
    serving_ = false;
    requester_ = GetCurrentThreadId();
    SetEvent(stopRequested_.get());
}

void Session::AwaitUnregistered() const { WaitForSingleObject(unregistered_.get(), INFINITE); }

void Session::AwaitEnd() const { WaitForSingleObject(thread_.get(), INFINITE); }

bool Session::Ended() const { return WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0; }

// On the session's thread. The order: the server is told; no new callback
// starts; the thread that asked is let go; its own delivery is waited for;
// the callback object lets go of the server; then everything is destroyed.
void Session::Stop() {
    const DWORD requester = requester_.load();
    TARNClientBridge* bridge = adaptor_ ? adaptor_->Context()->CallbackObject() : nullptr;
    if (adaptor_) Guarded("TarnAdaptor::Stop", E_OUTOFMEMORY, [this] { return adaptor_->Stop(); });
    if (bridge) bridge->Detach(requester);
    if (delivery_) delivery_->Close(requester);
    SetEvent(unregistered_.get());
    if (delivery_) delivery_->JoinAll();
    if (bridge) {
        bridge->AwaitCallsToEnd();
        bridge->Disconnect();
    }
    DestroyParts();
}

// The adaptor goes first (its destructor still reports to the peer), then
// the queues, then the peer they delivered to.
void Session::DestroyParts() {
    std::unique_ptr<TarnAdaptor> adaptor;
    std::unique_ptr<NotificationDelivery> delivery;
    std::unique_ptr<TarnNotificationPeer> peer;
    {
        win::Lock lock(partsLock_);
        adaptor = std::move(adaptor_);
        delivery = std::move(delivery_);
        peer = std::move(peer_);
    }
    adaptor.reset();
    delivery.reset();
    peer.reset();
}
