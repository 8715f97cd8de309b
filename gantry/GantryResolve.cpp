// The resolver behind ordinal 1, the security attributes and the named thread
// start of GANTRY.dll.
#include "gantry.h"
#include "GantryInternal.h"

#include "win/raii.h"

#include <process.h>

namespace gantry {
namespace {

// No descriptor: the object gets the creator's default DACL, so only the
// creating user (and the system) can open it. Not inheritable: a process the
// caller starts must not hold the caller's monitor objects.
BOOL FillPrivateAttributes(SECURITY_ATTRIBUTES* attributes) noexcept {
    if (attributes == nullptr) return FALSE;
    attributes->nLength = sizeof *attributes;
    attributes->lpSecurityDescriptor = nullptr;
    attributes->bInheritHandle = FALSE;
    return TRUE;
}

// SetThreadDescription exists from Windows 10 1607 on; older systems simply
// get an unnamed thread.
void NameThread(HANDLE thread, const wchar_t* name) noexcept {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    if (name == nullptr) return;
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return;
    FARPROC entry = ::GetProcAddress(kernel, "SetThreadDescription");
    if (entry == nullptr) return;
    auto setDescription = reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void*>(entry));
    setDescription(thread, name);
}

}  // namespace

BOOL WINAPI GetMonitorEventAttributes(SECURITY_ATTRIBUTES* attributes) { return FillPrivateAttributes(attributes); }

BOOL WINAPI GetMonitorThreadAttributes(SECURITY_ATTRIBUTES* attributes) { return FillPrivateAttributes(attributes); }

// The thread starts suspended so that it carries its name before it runs.
HANDLE WINAPI StartNamedThread(SECURITY_ATTRIBUTES* attributes, GANTRY_THREAD_PROC proc, void* argument,
                               const wchar_t* name) {
    if (proc == nullptr) return nullptr;
    win::UniqueHandle thread(
        reinterpret_cast<HANDLE>(::_beginthreadex(attributes, 0, proc, argument, CREATE_SUSPENDED, nullptr)));
    if (!thread) return nullptr;
    NameThread(thread.get(), name);
    if (::ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        // A thread that cannot run must not stay behind suspended.
        ::TerminateThread(thread.get(), ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return thread.release();
}

}  // namespace gantry

extern "C" BOOL __cdecl GantryResolve(ULONG version, void* entries, ULONG entriesSize) {
    if (version != GANTRY_ENTRIES_VERSION_1 || entries == nullptr || entriesSize < sizeof(GANTRY_ENTRIES_V1))
        return FALSE;
    GANTRY_ENTRIES_V1 table{};
    table.size = sizeof table;
    table.version = GANTRY_ENTRIES_VERSION_1;
    table.IsPEFileValidExT = &gantry::IsPEFileValidExT;
    table.GetMonitorEventAttributes = &gantry::GetMonitorEventAttributes;
    table.GetMonitorThreadAttributes = &gantry::GetMonitorThreadAttributes;
    table.StartNamedThread = &gantry::StartNamedThread;
    *static_cast<GANTRY_ENTRIES_V1*>(entries) = table;
    return TRUE;
}
