// The lifecycle exports: the initialisation family and Finalize, and the
// settings a blade makes before initialisation.
#include <objbase.h>

#include <mutex>
#include <new>

#include "adaptor/TarnAdaptor.h"
#include "log/Guarded.h"
#include "stub/DefaultNotificationPeer.h"
#include "stub/VPNNotificationPeer.h"
#include "stub/ModuleState.h"
#include "win/Threads.h"

namespace {

constexpr DWORD kHighestInitializableBladeType = 48;

bool IsSupportedBladeType(ULONG bladeType) {
    switch (bladeType) {
        case 6: case 8: case 9: case 11: case 12: case 13: case 14: case 15: case 16:
            return true;
        default:
            return false;
    }
}

void FillDefaultPolicyTypes(ULONG bladeType, std::vector<ULONG>& list) {
    switch (bladeType) {
        case 6: list.insert(list.end(), {60}); break;
        case 8: list.insert(list.end(), {51}); break;
        case 9: list.insert(list.end(), {77, 80, 78, 51}); break;
        case 13: list.insert(list.end(), {120, 51}); break;
        case 14: list.insert(list.end(), {51, 130, 120}); break;
        case 15: list.insert(list.end(), {120, 51}); break;
        default: break;
    }
}

// Set on the init thread while it initialises. The adaptor calls the blade's
// connect callback on this thread (first connection) and on its monitor
// thread (reconnections); a Finalize from such a callback cannot stop the
// adaptor there, because the adaptor is in the middle of its own work.
thread_local bool t_initializing = false;

bool CalledFromInsideTheAdaptor(const TarnAdaptor& adaptor) {
    return t_initializing || adaptor.OnMonitorThread();
}

bool CallerIsInTheMultithreadedApartment() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    return SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
}

// Stops the adaptor, then destroys it and only then its peer: until the
// adaptor is gone its threads may still call the peer.
void StopAndDestroy(Retiree& retiree) {
    if (retiree.adaptor) {
        Guarded("TarnAdaptor::Stop", E_OUTOFMEMORY, [&] { return retiree.adaptor->Stop(); });
        retiree.adaptor.reset();
    }
    retiree.peer.reset();
}

// The adaptor's server pointer and callback object belong to the
// multithreaded apartment: a blade thread in a single-threaded apartment (a
// user-interface thread) may neither call nor release them. Such a caller
// waits while a thread of the multithreaded apartment does the stop.
void StopAndDestroyInTheMta(Retiree& retiree) {
    if (!CallerIsInTheMultithreadedApartment()) {
        win::UniqueHandle stopper;
        try {
            stopper = win::StartThread([&retiree] {
                win::MtaScope mta;
                StopAndDestroy(retiree);
            });
        } catch (const std::bad_alloc&) {
        }
        if (stopper) {
            WaitForSingleObject(stopper.get(), INFINITE);
            return;
        }
        // No thread: calls that fail are better than an adaptor left running.
    }
    StopAndDestroy(retiree);
}

void Abandon(std::unique_ptr<Retiree> retiree) {
    ModuleState& module = Module();
    std::lock_guard<win::CriticalSection> lock(module.moduleLock);
    retiree->next = std::move(module.abandoned);
    module.abandoned = std::move(retiree);
}

// A Finalize from inside one of the adaptor's own callbacks hands the stop
// to a thread of its own, which first lets the adaptor finish the start or
// reconnection it is in. Should no thread start, adaptor and peer stay
// together in the module state, and the next Finalize stops them.
void RetireLater(Retiree retiree) {
    std::unique_ptr<Retiree> owned(new (std::nothrow) Retiree(std::move(retiree)));
    if (!owned) {
        // Not even room to keep them: they are never destroyed, so the
        // running adaptor never meets a destroyed peer.
        static_cast<void>(retiree.adaptor.release());
        static_cast<void>(retiree.peer.release());
        return;
    }
    Retiree* pending = owned.get();
    bool started = false;
    try {
        started = win::StartDetached([pending] {
            std::unique_ptr<Retiree> mine(pending);
            win::MtaScope mta;
            mine->adaptor->AwaitConnectionAttempt();
            StopAndDestroy(*mine);
        });
    } catch (const std::bad_alloc&) {
    }
    if (started) {
        static_cast<void>(owned.release());
        return;
    }
    WriteLog(LOG_ERROR, "Finalize", L"Cannot start the thread that stops the adaptor; the next Finalize stops it");
    Abandon(std::move(owned));
}

std::unique_ptr<TarnAdaptor> CreateAdaptor() {
    try {
        return std::make_unique<TarnAdaptor>();
    } catch (...) {
        return nullptr;
    }
}

// Hands the module's lists to the new adaptor and creates the blade type's
// notification peer. 0, 31 or 7.
DWORD PrepareAdaptor(ModuleState& module, TarnAdaptor& adaptor, ULONG bladeType) {
    try {
        if (!module.policyTypes) {
            module.policyTypes.emplace();
            FillDefaultPolicyTypes(bladeType, *module.policyTypes);
        }
        adaptor.SetSupportedPoliceis(*module.policyTypes);
        if (module.payloadResponseTypes) adaptor.SetSupportedPayloadResponseTypes(*module.payloadResponseTypes);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    std::unique_ptr<TarnNotificationPeer> peer;
    if (!CreateDefaultNotificationPeer(static_cast<LONG>(bladeType), peer)) return TARNSTUB_PEER_CREATION_FAILED;
    if (!peer) return TARNSTUB_OK;
    if (auto* remoteAccess = dynamic_cast<VPNNotificationPeer*>(peer.get())) remoteAccess->BelongsTo(&adaptor);
    module.peer = std::move(peer);
    module.bladeType = static_cast<LONG>(bladeType);
    return TARNSTUB_OK;
}

// Runs under the module lock. What initialisation gives up (an adaptor that
// failed to start, with its peer) goes to discarded, which the caller
// destroys after leaving the lock.
DWORD InitializeLocked(ModuleState& module, ULONG bladeType, Retiree& discarded) {
    if (module.Adaptor()) return TARNSTUB_ALREADY_INITIALIZED;
    if (module.peer) return TARNSTUB_PEER_STILL_HELD;
    if (!IsSupportedBladeType(bladeType)) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;

    std::unique_ptr<TarnAdaptor> created = CreateAdaptor();
    if (!created) return TARNSTUB_ADAPTOR_CREATION_FAILED;
    TarnAdaptor* adaptor = created.get();
    // Published at once: the remote-access peer reaches the adaptor through
    // the module state during the first connection.
    module.PublishAdaptor(std::move(created));

    DWORD result = PrepareAdaptor(module, *adaptor, bladeType);
    if (result == TARNSTUB_OK) {
        TarnNotificationPeer* peer = module.peer.get();
        if (SUCCEEDED(Guarded("TarnAdaptor::Init", E_OUTOFMEMORY, [&] { return adaptor->Init(bladeType, peer); })))
            return TARNSTUB_OK;
        result = TARNSTUB_ADAPTOR_INIT_FAILED;
    }
    // An adaptor that did not start is not left behind. (A Finalize from the
    // blade's connect callback may already have taken it; it retires it.)
    if (module.Adaptor() == adaptor) {
        discarded.adaptor = module.WithdrawAdaptor();
        discarded.peer = std::move(module.peer);
    }
    return result;
}

DWORD InitializeInternal(ULONG bladeType) {
    ModuleState& module = Module();
    Retiree discarded;
    DWORD result;
    {
        std::lock_guard<win::CriticalSection> lock(module.moduleLock);
        result = InitializeLocked(module, bladeType, discarded);
    }
    StopAndDestroy(discarded);
    return result;
}

DWORD RunInitialization(ULONG bladeType) {
    // A connect callback on the init thread itself: this thread holds the
    // module lock, which a second init thread would wait for for ever.
    if (t_initializing) return InitializeInternal(bladeType);
    auto result = std::make_shared<DWORD>(static_cast<DWORD>(-1));
    win::UniqueHandle thread = win::StartThread([result, bladeType] {
        // The adaptor is created, and makes its first connection attempt, in
        // the multithreaded apartment of this thread; the blade's own thread
        // and its apartment are never touched.
        win::MtaScope mta;
        t_initializing = true;
        *result = InitializeInternal(bladeType);
        t_initializing = false;
    });
    if (!thread) return TARNSTUB_THREAD_START_FAILED;
    if (WaitForSingleObject(thread.get(), INFINITE) != WAIT_OBJECT_0) return TARNSTUB_THREAD_WAIT_FAILED;
    return *result;
}

DWORD InitializeGuarded(ULONG bladeType) {
    try {
        return RunInitialization(bladeType);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
}

DWORD FinalizeGuarded() {
    ModuleState& module = Module();
    Retiree retiree;
    std::unique_ptr<Retiree> abandoned;
    {
        // Take the adaptor out under the module lock; stop it outside. The
        // adaptor's threads may be calling the blade (a reconnection's
        // OnConnect, a delivery), whose callback may call any export: that
        // export finds no adaptor (code 2) or runs, instead of waiting for a
        // lock that Finalize would hold while it waits for that very thread.
        std::lock_guard<win::CriticalSection> lock(module.moduleLock);
        retiree.adaptor = module.WithdrawAdaptor();
        retiree.peer = std::move(module.peer);
        abandoned = std::move(module.abandoned);
    }
    for (Retiree* earlier = abandoned.get(); earlier; earlier = earlier->next.get()) StopAndDestroyInTheMta(*earlier);
    if (!retiree.adaptor) {
        retiree.peer.reset();
        return TARNSTUB_NOT_INITIALIZED;
    }
    if (CalledFromInsideTheAdaptor(*retiree.adaptor)) {
        RetireLater(std::move(retiree));
        return TARNSTUB_OK;
    }
    StopAndDestroyInTheMta(retiree);
    return TARNSTUB_OK;
}

// Replaces one of the module's lists, under the module lock like every
// other export: initialisation reads the lists.
template <typename List, typename Fill>
DWORD ReplaceModuleList(std::optional<List>& list, Fill fill) {
    ModuleState& module = Module();
    std::lock_guard<win::CriticalSection> lock(module.moduleLock);
    if (module.Adaptor()) return TARNSTUB_SETTING_AFTER_INIT;
    list.reset();
    try {
        List filled;
        fill(filled);
        list = std::move(filled);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    return TARNSTUB_OK;
}

}  // namespace

extern "C" {

DWORD __cdecl Initialize(DWORD bladeType) {
    if (bladeType > kHighestInitializableBladeType) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;
    return InitializeGuarded(bladeType);
}

DWORD __cdecl InitializeUiTarnStub(void) { return InitializeGuarded(8); }
DWORD __cdecl InitializeLumenTarnStub(void) { return InitializeGuarded(6); }
DWORD __cdecl InitializeUrlFilteringTarnStub(void) { return InitializeGuarded(9); }

DWORD __cdecl Finalize(void) {
    try {
        return FinalizeGuarded();
    } catch (...) {
        // Nothing above allocates after the adaptor is taken out; should the
        // unexpected happen, the stub is uninitialised all the same.
        return TARNSTUB_OK;
    }
}

DWORD __cdecl SetSupportedPolicyTypes(const DWORD* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    return ReplaceModuleList(Module().policyTypes,
                             [&](std::vector<ULONG>& list) { list.assign(types, types + count); });
}

DWORD __cdecl SetSupportedPayloadResponseTypes(const wchar_t* const* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    return ReplaceModuleList(Module().payloadResponseTypes, [&](std::vector<std::wstring>& list) {
        for (LONG i = 0; i < count; ++i) list.emplace_back(types[i] ? types[i] : L"");
    });
}

}  // extern "C"
