// Module entry points: the class object, unloading and self-registration.
#include "RefFactory.h"
#include "RefState.h"
#include "tarnref.h"

#include <olectl.h>
#include <shlwapi.h>

#include <mutex>
#include <new>
#include <string>

namespace tarnref {
namespace {

std::atomic<ULONG> g_classObjectRequests{0};

std::wstring ClassKeyPath() {
    wchar_t clsid[40] = {};
    ::StringFromGUID2(CLSID_TarnServer, clsid, 40);
    return std::wstring(L"Software\\Classes\\CLSID\\") + clsid;
}

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return L"";
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

// Data that differs on every call, also across processes: a registry
// notification fires only when the data really changes.
std::wstring UniqueStamp(ULONG request) {
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(request) + L"-" +
           std::to_wstring(counter.QuadPart);
}

LSTATUS SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void WriteClassKeyValue(const std::wstring& name, const std::wstring& data) {
    win::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath().c_str(), 0, KEY_SET_VALUE, key.put()) ==
        ERROR_SUCCESS) {
        SetText(key.get(), name.c_str(), data);
    }
}

void CreateFileBesideModule(const std::wstring& name, const std::wstring& data) {
    std::wstring directory = ModulePath();
    if (directory.empty() || !::PathRemoveFileSpecW(&directory[0])) return;
    wchar_t path[MAX_PATH] = {};
    if (!::PathCombineW(path, directory.c_str(), name.c_str())) return;
    win::UniqueHandle file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), data.c_str(), static_cast<DWORD>(data.size() * sizeof(wchar_t)),
                &written, nullptr);
}

void PerformSideEffect(ULONG request) {
    int kind = TARNREF_SIDE_EFFECT_NONE;
    std::wstring arg;
    {
        RefState& state = RefState::Instance();
        std::lock_guard<win::CriticalSection> guard(state.Lock());
        kind = state.config.sideEffectKind;
        arg = state.config.sideEffectArg;
    }
    if (kind == TARNREF_SIDE_EFFECT_REGISTRY) WriteClassKeyValue(arg, UniqueStamp(request));
    if (kind == TARNREF_SIDE_EFFECT_FILE) CreateFileBesideModule(arg, UniqueStamp(request));
}

HRESULT RegisterClassKey() {
    const std::wstring path = ModulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
    win::UniqueHKey classKey, serverKey;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath().c_str(), 0, nullptr, 0,
                                       KEY_WRITE, nullptr, classKey.put(), nullptr);
    if (status == ERROR_SUCCESS) status = SetText(classKey.get(), nullptr, L"Tarn reference server");
    if (status == ERROR_SUCCESS) {
        status = ::RegCreateKeyExW(classKey.get(), L"InProcServer32", 0, nullptr, 0, KEY_WRITE,
                                   nullptr, serverKey.put(), nullptr);
    }
    if (status == ERROR_SUCCESS) status = SetText(serverKey.get(), nullptr, path);
    // Without "Both" a client in the multithreaded apartment would get the
    // object through a proxy, and no proxy exists for these interfaces.
    if (status == ERROR_SUCCESS) status = SetText(serverKey.get(), L"ThreadingModel", L"Both");
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

}  // namespace

ULONG ClassObjectRequests() { return g_classObjectRequests; }

}  // namespace tarnref

using namespace tarnref;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object) {
    const ULONG request = ++g_classObjectRequests;
    PerformSideEffect(request);
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

STDAPI DllRegisterServer() { return RegisterClassKey(); }

STDAPI DllUnregisterServer() {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKeyPath().c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
