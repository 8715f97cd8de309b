// The class registration of the reference server's front ends, shared by
// the in-process DLL, TarnRefServer.exe and TarnRefClient.dll (which writes
// the EXE's keys itself instead of starting it twice per registration).
#pragma once

#include <windows.h>

#include <string>

namespace tarnref {

// Writes a REG_SZ value (name null: the key's default value).
LSTATUS SetText(HKEY key, const wchar_t* name, const std::wstring& text);

// "Software\Classes\CLSID\{...}" under HKLM.
std::wstring ClassKeyPath(REFCLSID clsid);

// Registers clsid with one server subkey ("InProcServer32" or
// "LocalServer32") holding serverValue, and removes the other one: a client
// that prefers the local server must not find a stale in-process entry, nor
// the reverse. threadingModel may be null (none written).
HRESULT RegisterClassServer(REFCLSID clsid, const wchar_t* description, const wchar_t* serverKind,
                            const std::wstring& serverValue, const wchar_t* threadingModel);
// Removes the class key; a missing key is no failure.
HRESULT UnregisterClass(REFCLSID clsid);

// The Tarn server class and the control class, both served by the EXE at
// exePath (LocalServer32 holds the quoted path, as COM expects it).
HRESULT RegisterLocalServerClasses(const std::wstring& exePath);
HRESULT UnregisterLocalServerClasses();

}  // namespace tarnref
