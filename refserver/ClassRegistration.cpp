#include "ClassRegistration.h"

#include "server/TarnServer.h"
#include "TarnRefControlIdl.h"
#include "win/raii.h"

#include <olectl.h>

namespace tarnref {

LSTATUS SetText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

namespace {

const wchar_t* OtherServerKind(const wchar_t* serverKind) {
    return ::lstrcmpiW(serverKind, L"LocalServer32") == 0 ? L"InProcServer32" : L"LocalServer32";
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
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath(clsid).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, classKey.put(), nullptr);
    if (status == ERROR_SUCCESS) status = SetText(classKey.get(), nullptr, description);
    if (status == ERROR_SUCCESS) {
        const LSTATUS removed = ::RegDeleteTreeW(classKey.get(), OtherServerKind(serverKind));
        if (removed != ERROR_FILE_NOT_FOUND) status = removed;
    }
    if (status == ERROR_SUCCESS) {
        status =
            ::RegCreateKeyExW(classKey.get(), serverKind, 0, nullptr, 0, KEY_WRITE, nullptr, serverKey.put(), nullptr);
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

HRESULT RegisterLocalServerClasses(const std::wstring& exePath) {
    const std::wstring quoted = L"\"" + exePath + L"\"";
    HRESULT hr = RegisterClassServer(CLSID_TarnServer, L"Tarn reference server", L"LocalServer32", quoted, nullptr);
    if (SUCCEEDED(hr)) {
        hr = RegisterClassServer(CLSID_TarnRefControl, L"Tarn reference server control", L"LocalServer32", quoted,
                                 nullptr);
    }
    return hr;
}

HRESULT UnregisterLocalServerClasses() {
    const HRESULT server = UnregisterClass(CLSID_TarnServer);
    const HRESULT control = UnregisterClass(CLSID_TarnRefControl);
    return FAILED(server) ? server : control;
}

}  // namespace tarnref
