// Class registration of the reference server's front ends, and the side
// effects a test can ask of the class object (TarnRef_SetClassObjectSideEffect).
#pragma once

#include <windows.h>

#include <string>

namespace tarnref {

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

}  // namespace tarnref
