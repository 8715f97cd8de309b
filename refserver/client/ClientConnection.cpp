#include "ClientConnection.h"

#include "RefServerNames.h"
#include "win/ModulePath.h"

#include <objbase.h>
#include <process.h>

#include <new>

namespace tarnref_client {
namespace {

using Guard = win::Lock;

struct Connection {
    win::CriticalSection lock;
    win::ComPtr<ITarnRefControl> control GUARDED_BY(lock);
    win::UniqueHandle serverProcess GUARDED_BY(lock);  // the last server process known
    HANDLE mtaUsage GUARDED_BY(lock) = nullptr;        // the CoIncrementMTAUsage cookie, kept for good
};

// Never destroyed: proxies must not be released while the process unloads.
// ComPtrs are handed over with Swap: mingw-w64's ComPtr move assignment
// copies, leaving the source holding its reference.
Connection& State() {
    static Connection* const state = new Connection();
    return *state;
}

// Resolved at run time: it needs a newer ole32 than the rest of the client.
using CoIncrementMTAUsageFn = HRESULT(WINAPI*)(HANDLE*);

void KeepMtaAlive() {
    Guard guard(State().lock);
    if (State().mtaUsage) return;
    HMODULE ole32 = ::GetModuleHandleW(L"ole32.dll");
    const auto increment = ole32 ? reinterpret_cast<CoIncrementMTAUsageFn>(
                                       reinterpret_cast<void*>(::GetProcAddress(ole32, "CoIncrementMTAUsage")))
                                 : nullptr;
    if (increment) increment(&State().mtaUsage);
}

bool IsInMta() {
    APTTYPE type = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    if (FAILED(::CoGetApartmentType(&type, &qualifier))) return false;
    return type == APTTYPE_MTA;
}

unsigned __stdcall WorkThread(void* argument) {
    try {
        (*static_cast<const std::function<void()>*>(argument))();
    } catch (...) {}
    return 0;
}

bool IsProcessRunning(HANDLE process) { return process && ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

// A failure that shows the server process is gone (or going).
bool IsServerGone(HRESULT hr) {
    return hr == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE) || hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED) ||
           hr == HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE) || hr == RPC_E_DISCONNECTED || hr == RPC_E_SERVER_DIED ||
           hr == RPC_E_SERVER_DIED_DNE || hr == CO_E_OBJNOTCONNECTED;
}

void RememberServer(ULONG processId) {
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return;
    Guard guard(State().lock);
    State().serverProcess = std::move(process);
}

// The control object held, after dropping one whose server process ended.
win::ComPtr<ITarnRefControl> HeldControl() {
    Connection& state = State();
    Guard guard(state.lock);
    if (state.control && !IsProcessRunning(state.serverProcess.get())) state.control.Reset();
    return state.control;
}

HRESULT Connect(win::ComPtr<ITarnRefControl>& control) {
    control = HeldControl();
    if (control) return S_OK;
    HRESULT hr = ::CoCreateInstance(CLSID_TarnRefControl, nullptr, CLSCTX_LOCAL_SERVER, IID_ITarnRefControl,
                                    reinterpret_cast<void**>(control.GetAddressOf()));
    if (FAILED(hr)) return hr;
    ULONG processId = 0;
    hr = control->ProcessId(&processId);
    if (FAILED(hr)) return hr;
    RememberServer(processId);
    Guard guard(State().lock);
    State().control = control;
    return S_OK;
}

void Drop(ITarnRefControl* failed) {
    win::ComPtr<ITarnRefControl> dropped;
    Guard guard(State().lock);
    if (State().control.Get() == failed) dropped.Swap(State().control);
}

ULONG ReadPublishedId() {
    win::UniqueHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, tarnref::kProcessIdMappingName));
    if (!mapping) return 0;
    const void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(DWORD));
    if (!view) return 0;
    const ULONG processId = *static_cast<const volatile DWORD*>(view);
    ::UnmapViewOfFile(view);
    return processId;
}

// Waits for the server with that id to serve; false when it ended first or
// the time ran out.
bool WaitReady(ULONG processId, HANDLE process, DWORD timeoutMs) {
    win::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, tarnref::ReadyEventName(processId).c_str()));
    if (!ready) return false;
    HANDLE both[2] = {ready.get(), process};
    return ::WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace

void RunInMta(const std::function<void()>& work) {
    KeepMtaAlive();
    if (IsInMta()) {
        work();
        return;
    }
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, WorkThread, const_cast<std::function<void()>*>(&work), 0, nullptr);
    if (thread == 0) return;
    win::UniqueHandle handle(reinterpret_cast<HANDLE>(thread));
    ::WaitForSingleObject(handle.get(), INFINITE);
}

HRESULT WithControl(const std::function<HRESULT(ITarnRefControl*)>& call) {
    HRESULT hr = E_UNEXPECTED;
    try {
        RunInMta([&] {
            win::ComPtr<ITarnRefControl> control;
            hr = Connect(control);
            if (FAILED(hr)) return;
            hr = call(control.Get());
            if (IsServerGone(hr)) Drop(control.Get());
        });
    } catch (...) {
        hr = E_OUTOFMEMORY;  // no exception leaves an export
    }
    return hr;
}

void Disconnect() {
    try {
        RunInMta([] {
            win::ComPtr<ITarnRefControl> dropped;
            Guard guard(State().lock);
            dropped.Swap(State().control);
        });
    } catch (...) {}
}

ULONG RunningServerId() {
    const ULONG processId = ReadPublishedId();
    if (processId == 0) return 0;
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!IsProcessRunning(process.get())) return 0;
    // The ready event exists while the server that published the id lives.
    win::UniqueHandle ready(::OpenEventW(SYNCHRONIZE, FALSE, tarnref::ReadyEventName(processId).c_str()));
    if (!ready) return 0;
    Guard guard(State().lock);
    State().serverProcess = std::move(process);
    return processId;
}

ULONG StartServerProcess(DWORD timeoutMs) try {
    const ULONG running = RunningServerId();
    if (running) return running;
    std::wstring commandLine = L"\"" + FileBesideClient(L"TarnRefServer.exe") + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return 0;
    }
    win::UniqueHandle process(info.hProcess), thread(info.hThread);
    const ULONG processId = info.dwProcessId;
    if (!WaitReady(processId, process.get(), timeoutMs)) return 0;
    Guard guard(State().lock);
    State().serverProcess = std::move(process);
    return processId;
} catch (...) {
    return 0;
}

bool WaitKnownServerExit(DWORD timeoutMs) {
    HANDLE process = nullptr;
    win::UniqueHandle copy;
    {
        Guard guard(State().lock);
        if (!State().serverProcess) return true;
        if (!::DuplicateHandle(::GetCurrentProcess(), State().serverProcess.get(), ::GetCurrentProcess(), &process,
                               SYNCHRONIZE, FALSE, 0)) {
            return false;
        }
        copy.reset(process);
    }
    return ::WaitForSingleObject(copy.get(), timeoutMs) == WAIT_OBJECT_0;
}

// May throw (allocation); its callers catch.
std::wstring FileBesideClient(const wchar_t* name) {
    const std::wstring directory =
        win::DirectoryOf(win::ModuleFileNameOf(reinterpret_cast<const void*>(&FileBesideClient)));
    return directory.empty() ? std::wstring(name) : directory + L"\\" + name;
}

}  // namespace tarnref_client
