#include "win/Threads.h"

#include <process.h>

#include <atomic>

namespace {

std::atomic<LONG> g_failingThreadStarts{0};

bool RefusedForTesting() {
    LONG remaining = g_failingThreadStarts.load();
    while (remaining > 0) {
        if (g_failingThreadStarts.compare_exchange_weak(remaining, remaining - 1)) return true;
    }
    return false;
}

unsigned __stdcall JoinableThread(void* argument) {
    std::unique_ptr<win::threads_detail::Closure> closure(static_cast<win::threads_detail::Closure*>(argument));
    return closure->Run();
}

struct DetachedStart {
    std::unique_ptr<win::threads_detail::Closure> closure;
    win::UniqueModule module;
};

unsigned __stdcall DetachedThread(void* argument) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<DetachedStart> start(static_cast<DetachedStart*>(argument));
        static_cast<void>(start->closure->Run());
        start->closure.reset();
        module = start->module.release();
    }
    // The last code of this module the thread runs: the reference it held
    // is dropped by the system on the way out, so the module may go now.
    if (module) FreeLibraryAndExitThread(module, 0);
    return 0;
}

HANDLE BeginThread(unsigned(__stdcall* procedure)(void*), void* argument, unsigned* threadId) {
    if (RefusedForTesting()) return nullptr;
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, procedure, argument, 0, threadId));
}

}  // namespace

namespace win {
namespace threads_detail {

UniqueHandle StartJoinable(std::unique_ptr<Closure> closure, unsigned* threadId) {
    UniqueHandle thread(BeginThread(&JoinableThread, closure.get(), threadId));
    if (thread) closure.release();  // the thread owns it now
    return thread;
}

bool StartDetached(std::unique_ptr<Closure> closure) {
    auto start = std::make_unique<DetachedStart>(DetachedStart{std::move(closure), ReferenceThisModule()});
    UniqueHandle thread(BeginThread(&DetachedThread, start.get(), nullptr));
    if (!thread) return false;
    start.release();  // the thread owns it now; nobody waits for it
    return true;
}

}  // namespace threads_detail

UniqueModule ReferenceThisModule() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&DetachedThread)), &module);
    return UniqueModule(module);
}

void PinThisModule() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&DetachedThread)), &module);
}

}  // namespace win

namespace threads_testing {
void FailNextThreadStarts(LONG count) { g_failingThreadStarts = count; }
}  // namespace threads_testing
