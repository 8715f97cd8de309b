// Under Wine an unhandled exception starts the debugger, after which the
// process ends with exit code 0, and ctest would count a crashed case as
// passed. This filter ends the process with the exception code instead.
#include <windows.h>

#include <cstdio>

namespace {

LONG WINAPI EndWithExceptionCode(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
    const DWORD code = record ? record->ExceptionCode : 1u;
    std::fprintf(stderr, "unhandled exception 0x%08lx at %p: the test program crashed\n",
                 static_cast<unsigned long>(code), record ? record->ExceptionAddress : nullptr);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), code ? code : 1);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Installed before main, for the whole life of the test program.
const LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = SetUnhandledExceptionFilter(&EndWithExceptionCode);

}  // namespace
