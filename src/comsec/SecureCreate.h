// Guarded creation of the Tarn server object.
#pragma once

#include "server/TarnServer.h"
#include "win/raii.h"

#include <string>

namespace comsec {

// "Software\Classes\CLSID\{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" for clsid.
std::wstring ClassKeyName(REFCLSID clsid);

// The server file registered for clsid under HKEY_LOCAL_MACHINE and the
// kind of server it is: the default value of "LocalServer32" (a local
// server), else of "InProcServer32" (an in-process server). Enclosing double
// quotes are removed only when the text both begins and ends with one. The
// path is empty when neither subkey gives a text.
struct ServerRegistration {
    std::wstring path;
    DWORD classContext = 0;  // CLSCTX_LOCAL_SERVER or CLSCTX_INPROC_SERVER
};
ServerRegistration FindServer(REFCLSID clsid);
std::wstring FindServerPath(REFCLSID clsid);

// True (with a level-1 log line naming the key) when the class is
// registered per user, under HKEY_CURRENT_USER\Software\Classes\CLSID, in
// the process's own registry view or the other one of a 64-bit system.
bool RefusePerUserRegistration(REFCLSID clsid);

// True when GANTRY.dll's IsPEFileValidExT accepts path as an x86/x64
// executable image (arguments 1 and 9).
bool IsValidServerFile(const std::wstring& path);

// True when a server path is registered and GANTRY.dll's IsPEFileValidExT
// accepts that file as an x86/x64 executable image (arguments 1 and 9).
// False when GANTRY.dll or its entries cannot be had.
bool ValidateServerFile(REFCLSID clsid);

// Creates the server object through the server's ISecureFactory after the
// registered server file has been validated, asking COM only for that kind
// of server (local or in-process), with CEventMonitor watching the
// class key and the server's directory for the whole time. server is emptied
// first and is filled only on S_OK. E_ABORT for every refusal (no
// registration, file refused, a per-user registration of the class, a change
// seen by the watch, a reply of the wrong size, no start-up support); a
// failure of the COM calls is returned as it came. Its only log line is the
// one of a per-user registration.
HRESULT SecureCreateInstance(REFCLSID clsid, win::ComPtr<ITarnServer>& server, ULONG creationArg);

}  // namespace comsec
