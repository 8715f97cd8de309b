// TarnRefServer.exe: the reference Tarn server in a process of its own, a
// local COM server in the multithreaded apartment. It serves the Tarn server
// class (its class object is the secure factory) and the control class.
//   TarnRefServer.exe /RegServer     registers both classes (LocalServer32)
//   TarnRefServer.exe /UnregServer   removes them
//   TarnRefServer.exe [-Embedding]   serves until its clients are gone
#include "ControlObject.h"
#include "RefFactory.h"
#include "ClassRegistration.h"
#include "RefState.h"
#include "win/ModulePath.h"
#include "ServerInstance.h"
#include "ServerLifetime.h"

#include <shellapi.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace tarnref {
namespace {

// Exit codes: a normal end, an end in the middle of a call (a "crash"), and
// a failure to start.
constexpr UINT kExitNormal = 0;
constexpr UINT kExitDuringCall = 3;
constexpr UINT kExitStartFailed = 1;

DWORD g_serverCookie = 0;
DWORD g_controlCookie = 0;
win::ComPtr<RefSecureFactory> g_factory;
// The factory's reference count once it is registered; above it, a client
// holds the class object.
ULONG g_factoryBaseline = 0;

void RevokeClassObjects() {
    if (g_serverCookie) ::CoRevokeClassObject(std::exchange(g_serverCookie, 0));
    if (g_controlCookie) ::CoRevokeClassObject(std::exchange(g_controlCookie, 0));
}

[[noreturn]] void ExitInCall() { ::ExitProcess(kExitDuringCall); }

bool IsSwitch(const wchar_t* argument, const wchar_t* name) {
    return (argument[0] == L'/' || argument[0] == L'-') && ::lstrcmpiW(argument + 1, name) == 0;
}

std::vector<std::wstring> Arguments() {
    int count = 0;
    LPWSTR* list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; list && i < count; ++i) arguments.emplace_back(list[i]);
    ::LocalFree(list);
    return arguments;
}

HRESULT PublishClassObjects() {
    g_factory.Attach(new (std::nothrow) RefSecureFactory());
    win::ComPtr<IClassFactory> control;
    control.Attach(NewControlClassFactory());
    if (!g_factory || !control) return E_OUTOFMEMORY;
    HRESULT hr = ::CoRegisterClassObject(CLSID_TarnServer, g_factory.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                         &g_serverCookie);
    if (SUCCEEDED(hr)) {
        hr = ::CoRegisterClassObject(CLSID_TarnRefControl, control.Get(), CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &g_controlCookie);
    }
    g_factoryBaseline = g_factory->References();
    return hr;
}

void SetUpFrontEnd() {
    g_module = ::GetModuleHandleW(nullptr);
    g_frontEnd.outOfProcess = true;
    g_frontEnd.callerProcessId = &CallerProcessId;
    g_frontEnd.exitDuringCall = &ExitInCall;
    g_frontEnd.objectConnected = [](ULONG owner) { ServerLifetime::Instance().ObjectConnected(owner); };
    g_frontEnd.objectDisconnected = [](ULONG owner) { ServerLifetime::Instance().ObjectDisconnected(owner); };
    ServerLifetime::Instance().SetExtraActivity(
        [] { return g_factory && g_factory->References() > g_factoryBaseline ? 1L : 0L; });
}

int Serve() {
    SetUpFrontEnd();
    ServerInstance instance;
    if (!instance.Claim()) return kExitStartFailed;
    // Never left: the process ends with ExitProcess, as releasing what dead
    // clients left behind could wait on them.
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return kExitStartFailed;
    if (FAILED(PublishClassObjects())) {
        RevokeClassObjects();
        return kExitStartFailed;
    }
    instance.AnnounceReady();
    ServerLifetime::Instance().WaitForEnd();
    RevokeClassObjects();
    ::ExitProcess(kExitNormal);
}

int Run() {
    for (const std::wstring& argument : Arguments()) {
        if (IsSwitch(argument.c_str(), L"RegServer")) {
            const std::wstring path = win::ModuleFileName(g_module);
            return !path.empty() && SUCCEEDED(RegisterLocalServerClasses(path)) ? 0 : 1;
        }
        if (IsSwitch(argument.c_str(), L"UnregServer")) return SUCCEEDED(UnregisterLocalServerClasses()) ? 0 : 1;
    }
    return Serve();
}

}  // namespace

void ExitServerNow() {
    RevokeClassObjects();
    ::ExitProcess(kExitNormal);
}

}  // namespace tarnref

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    try {
        return tarnref::Run();
    } catch (...) {
        return 1;
    }
}
