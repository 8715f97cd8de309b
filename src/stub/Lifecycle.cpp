// The lifecycle exports: the initialisation family and Finalize, and the
// settings a blade makes before initialisation.
#include <process.h>

#include <mutex>
#include <new>

#include "adaptor/TarnAdaptor.h"
#include "notify/DefaultNotificationPeer.h"
#include "stub/ModuleState.h"

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

// Destroys the adaptor first (its threads may still call the peer), then
// the peer.
void DestroyAdaptorAndPeer(TarnAdaptor* adaptor, std::unique_ptr<TarnNotificationPeer> peer) {
    delete adaptor;
    peer.reset();
}

// Set on the init thread while it initialises. The adaptor calls the blade's
// connect callback on this thread (first connection) and on its monitor
// thread (reconnections); a Finalize from such a callback cannot stop the
// adaptor there, because the adaptor is in the middle of its own work.
thread_local bool t_initializing = false;

bool CalledFromInsideTheAdaptor(const TarnAdaptor& adaptor) {
    return t_initializing || adaptor.OnMonitorThread();
}

// An adaptor that a Finalize from inside one of its own callbacks took away:
// stopped and destroyed on a thread of its own once the callback is over.
struct Retirement {
    TarnAdaptor* adaptor;
    std::unique_ptr<TarnNotificationPeer> peer;
    // Keeps the stub loaded until the retirement thread is done with it.
    win::UniqueModule pin;
};

void StopAndDestroy(Retirement& retirement) {
    // The lifecycle lock orders this after the initialisation that may still
    // be running on the adaptor, and before any later initialisation.
    std::lock_guard<win::CriticalSection> lifecycle(Module().lifecycleLock);
    win::MtaScope mta;
    retirement.adaptor->Stop();
    DestroyAdaptorAndPeer(retirement.adaptor, std::move(retirement.peer));
}

unsigned __stdcall RetireThread(void* argument) {
    std::unique_ptr<Retirement> retirement(static_cast<Retirement*>(argument));
    StopAndDestroy(*retirement);
    HMODULE pin = retirement->pin.release();
    retirement.reset();
    if (pin) FreeLibraryAndExitThread(pin, 0);
    return 0;
}

win::UniqueModule PinThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&RetireThread)), &module);
    return win::UniqueModule(module);
}

// Hands the detached adaptor to a retirement thread. Should no thread start,
// the adaptor is left running unreachable: better than a Finalize that never
// returns or an adaptor destroyed under its own feet.
void RetireLater(TarnAdaptor* adaptor, std::unique_ptr<TarnNotificationPeer> peer) {
    std::unique_ptr<Retirement> retirement(
        new (std::nothrow) Retirement{adaptor, std::move(peer), PinThisModule()});
    if (!retirement) return;
    win::UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &RetireThread, retirement.get(), 0, nullptr)));
    if (thread) retirement.release();
}

DWORD InitializeInternal(ULONG bladeType) {
    ModuleState& module = Module();
    std::lock_guard<win::CriticalSection> lifecycle(module.lifecycleLock);
    std::lock_guard<win::CriticalSection> lock(module.moduleLock);
    if (module.adaptor.load()) return TARNSTUB_ALREADY_INITIALIZED;
    if (module.peer) return TARNSTUB_PEER_STILL_HELD;
    if (!IsSupportedBladeType(bladeType)) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;

    TarnAdaptor* adaptor = new (std::nothrow) TarnAdaptor();
    if (!adaptor) return TARNSTUB_ADAPTOR_CREATION_FAILED;
    module.adaptor = adaptor;

    try {
        if (!module.policyTypes) {
            module.policyTypes.emplace();
            FillDefaultPolicyTypes(bladeType, *module.policyTypes);
        }
        adaptor->SetSupportedPoliceis(*module.policyTypes);
        if (module.payloadResponseTypes)
            adaptor->SetSupportedPayloadResponseTypes(*module.payloadResponseTypes);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }

    std::unique_ptr<TarnNotificationPeer> peer;
    if (!CreateDefaultNotificationPeer(static_cast<LONG>(bladeType), peer))
        return TARNSTUB_PEER_CREATION_FAILED;
    if (peer) {
        module.peer = std::move(peer);
        module.bladeType = static_cast<LONG>(bladeType);
    }

    if (SUCCEEDED(adaptor->Init(bladeType, module.peer.get()))) return TARNSTUB_OK;
    // A Finalize from the blade's connect callback has already taken the
    // adaptor and retires it.
    if (module.adaptor.load() != adaptor) return TARNSTUB_ADAPTOR_INIT_FAILED;

    module.adaptor = nullptr;
    DestroyAdaptorAndPeer(adaptor, std::move(module.peer));
    return TARNSTUB_ADAPTOR_INIT_FAILED;
}

struct InitRequest {
    DWORD result;
    ULONG bladeType;
};

unsigned __stdcall InitThread(void* argument) {
    auto* request = static_cast<InitRequest*>(argument);
    // The adaptor is created, and makes its first connection attempt, in the
    // multithreaded apartment of this thread; the blade's own thread and its
    // apartment are never touched.
    win::MtaScope mta;
    t_initializing = true;
    request->result = InitializeInternal(request->bladeType);
    t_initializing = false;
    return 0;
}

DWORD RunInitialization(ULONG bladeType) {
    InitRequest request{static_cast<DWORD>(-1), bladeType};
    win::UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &InitThread, &request, 0, nullptr)));
    if (!thread) return TARNSTUB_THREAD_START_FAILED;
    if (WaitForSingleObject(thread.get(), INFINITE) != WAIT_OBJECT_0)
        return TARNSTUB_THREAD_WAIT_FAILED;
    return request.result;
}

}  // namespace

extern "C" {

DWORD __cdecl Initialize(DWORD bladeType) {
    if (bladeType > kHighestInitializableBladeType) return TARNSTUB_BLADE_TYPE_NOT_ACCEPTED;
    return RunInitialization(bladeType);
}

DWORD __cdecl InitializeUiTarnStub(void) { return RunInitialization(8); }
DWORD __cdecl InitializeLumenTarnStub(void) { return RunInitialization(6); }
DWORD __cdecl InitializeUrlFilteringTarnStub(void) { return RunInitialization(9); }

DWORD __cdecl Finalize(void) {
    ModuleState& module = Module();
    std::lock_guard<win::CriticalSection> lifecycle(module.lifecycleLock);
    TarnAdaptor* adaptor = nullptr;
    std::unique_ptr<TarnNotificationPeer> peer;
    {
        // Detach under the module lock; stop outside it. The adaptor's
        // monitor thread may be delivering OnConnect to the blade, whose
        // callback may call an export: that export now finds no adaptor
        // (code 2) instead of waiting for a lock that Finalize would hold
        // while it waits for that very thread.
        std::lock_guard<win::CriticalSection> lock(module.moduleLock);
        adaptor = module.adaptor.exchange(nullptr);
        peer = std::move(module.peer);
    }
    if (!adaptor) return TARNSTUB_NOT_INITIALIZED;
    if (CalledFromInsideTheAdaptor(*adaptor)) {
        RetireLater(adaptor, std::move(peer));
        return TARNSTUB_OK;
    }
    adaptor->Stop();
    DestroyAdaptorAndPeer(adaptor, std::move(peer));
    return TARNSTUB_OK;
}

DWORD __cdecl SetSupportedPolicyTypes(const DWORD* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    ModuleState& module = Module();
    if (module.adaptor.load()) return TARNSTUB_SETTING_AFTER_INIT;
    module.policyTypes.reset();
    try {
        module.policyTypes.emplace(types, types + count);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    return TARNSTUB_OK;
}

DWORD __cdecl SetSupportedPayloadResponseTypes(const wchar_t* const* types, LONG count) {
    if (!types) return TARNSTUB_NULL_POINTER;
    if (count < 1) return TARNSTUB_COUNT_BELOW_ONE;
    ModuleState& module = Module();
    if (module.adaptor.load()) return TARNSTUB_SETTING_AFTER_INIT;
    module.payloadResponseTypes.reset();
    try {
        std::vector<std::wstring> list;
        for (LONG i = 0; i < count; ++i) list.emplace_back(types[i] ? types[i] : L"");
        module.payloadResponseTypes = std::move(list);
    } catch (const std::bad_alloc&) {
        return TARNSTUB_OUT_OF_MEMORY;
    }
    return TARNSTUB_OK;
}

}  // extern "C"
