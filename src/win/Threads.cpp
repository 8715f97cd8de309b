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

struct ThreadStart {
    std::unique_ptr<win::threads_detail::Closure> closure;
    win::UniqueModule module;  // empty unless the thread holds the module
};

unsigned __stdcall ThreadProcedure(void* argument) {
    HMODULE module = nullptr;
    unsigned exitCode = 0;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
        exitCode = start->closure->Run();
        start->closure.reset();
        module = start->module.release();
    }
    // The last code of this module the thread runs: the reference it held
    // is dropped by the system on the way out, so the module may go now.
    if (module) FreeLibraryAndExitThread(module, exitCode);
    return exitCode;
}

HANDLE BeginThread(unsigned(__stdcall* procedure)(void*), void* argument, unsigned* threadId) {
    if (RefusedForTesting()) return nullptr;
    return reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, procedure, argument, 0, threadId));
}

}  // namespace

namespace win {
namespace threads_detail {

UniqueHandle Start(std::unique_ptr<Closure> closure, unsigned* threadId, bool holdModule) {
    auto start = std::make_unique<ThreadStart>(
        ThreadStart{std::move(closure), holdModule ? ReferenceThisModule() : UniqueModule()});
    UniqueHandle thread(BeginThread(&ThreadProcedure, start.get(), threadId));
    if (thread) start.release();  // the thread owns it now
    return thread;
}

}  // namespace threads_detail

UniqueModule ReferenceThisModule() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ThreadProcedure)), &module);
    return UniqueModule(module);
}

void PinThisModule() noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ThreadProcedure)), &module);
}

}  // namespace win

namespace threads_testing {
void FailNextThreadStarts(LONG count) { g_failingThreadStarts = count; }
}  // namespace threads_testing
