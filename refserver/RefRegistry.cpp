#include "RefRegistry.h"

#include "RefState.h"
#include "tarnref.h"
#include "win/ModulePath.h"

#include <olectl.h>

#include <mutex>

namespace tarnref {
namespace {

std::atomic<ULONG> g_classObjectRequests{0};

LSTATUS SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

const wchar_t* OtherServerKind(const wchar_t* serverKind) {
    return ::lstrcmpiW(serverKind, L"LocalServer32") == 0 ? L"InProcServer32" : L"LocalServer32";
}

// Data that differs on every call, also across processes: a registry
// notification fires only when the data really changes.
std::wstring UniqueStamp(ULONG request) {
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(request) + L"-" +
           std::to_wstring(counter.QuadPart);
}

void WriteClassKeyValue(const std::wstring& name, const std::wstring& data) {
    win::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath(CLSID_TarnServer).c_str(), 0,
                        KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
        SetText(key.get(), name.c_str(), data);
    }
}

void CreateFileBesideModule(const std::wstring& name, const std::wstring& data) {
    const std::wstring directory = win::DirectoryOf(win::ModuleFileName(g_module));
    if (directory.empty()) return;
    const std::wstring path = directory + L"\\" + name;
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), data.c_str(), static_cast<DWORD>(data.size() * sizeof(wchar_t)),
                &written, nullptr);
}

}  // namespace

std::wstring ClassKeyPath(REFCLSID clsid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(clsid, text, 40);
    return std::wstring(L"Software\\Classes\\CLSID\\") + text;
}

HRESULT RegisterClassServer(REFCLSID clsid, const wchar_t* description, const wchar_t* serverKind,
                            const std::wstring& serverValue, const wchar_t* threadingModel) {
    win::UniqueHKey classKey, serverKey;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath(clsid).c_str(), 0, nullptr,
                                       0, KEY_ALL_ACCESS, nullptr, classKey.put(), nullptr);
    if (status == ERROR_SUCCESS) status = SetText(classKey.get(), nullptr, description);
    if (status == ERROR_SUCCESS) {
        const LSTATUS removed = ::RegDeleteTreeW(classKey.get(), OtherServerKind(serverKind));
        if (removed != ERROR_FILE_NOT_FOUND) status = removed;
    }
    if (status == ERROR_SUCCESS) {
        status = ::RegCreateKeyExW(classKey.get(), serverKind, 0, nullptr, 0, KEY_WRITE, nullptr,
                                   serverKey.put(), nullptr);
    }
    if (status == ERROR_SUCCESS) status = SetText(serverKey.get(), nullptr, serverValue);
    if (status == ERROR_SUCCESS && threadingModel) {
        status = SetText(serverKey.get(), L"ThreadingModel", threadingModel);
    }
    return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

HRESULT UnregisterClass(REFCLSID clsid) {
    const LSTATUS status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKeyPath(clsid).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}

ULONG ClassObjectRequests() { return g_classObjectRequests; }

void NoteClassObjectRequest() {
    const ULONG request = ++g_classObjectRequests;
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

}  // namespace tarnref
