// The in-process front end (TarnRefServer.dll): the class object, unloading
// and self-registration.
#include "RefFactory.h"
#include "ClassRegistration.h"
#include "RefState.h"
#include "win/ModulePath.h"
#include "tarnref.h"

#include <new>

using namespace tarnref;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    NoteClassObjectRequest();
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CLSID_TarnServer)) return CLASS_E_CLASSNOTAVAILABLE;
    const HRESULT down = ServerDownResult();
    if (down != S_OK) return down;
    if (auto injected = RefState::Instance().InjectedFailure(L"DllGetClassObject")) return *injected;
    win::ComPtr<ISecureFactory> factory;
    factory.Attach(new (std::nothrow) RefSecureFactory());
    if (!factory) return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, object);
}

STDAPI DllCanUnloadNow() { return g_liveObjects == 0 ? S_OK : S_FALSE; }

// Without ThreadingModel "Both" a client in the multithreaded apartment would
// get the object through a proxy, which an in-process server need not have.
STDAPI DllRegisterServer() {
    const std::wstring path = win::ModuleFileName(g_module);
    if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
    return RegisterClassServer(CLSID_TarnServer, L"Tarn reference server", L"InProcServer32", path, L"Both");
}

STDAPI DllUnregisterServer() { return UnregisterClass(CLSID_TarnServer); }

extern "C" {

HRESULT __cdecl TarnRef_RegisterServer(void) { return DllRegisterServer(); }

HRESULT __cdecl TarnRef_UnregisterServer(void) { return DllUnregisterServer(); }

}  // extern "C"
