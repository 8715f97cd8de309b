// TarnRefClient.dll's hold on the out-of-process reference server: the
// control object, the server process, and the apartment the calls are made
// from.
#pragma once

#include "TarnRefControlIdl.h"
#include "win/raii.h"

#include <functional>
#include <string>

namespace tarnref_client {

// Runs work on a thread of the multithreaded apartment: the calling thread
// when it is in it (or has no apartment: the process keeps the implicit
// multithreaded apartment alive), otherwise a short-lived thread of ours. The
// calling thread's COM initialisation is never touched.
void RunInMta(const std::function<void()>& work);

// Calls the control object (connecting first when needed) from the
// multithreaded apartment. A failure that shows the server process is gone
// drops the connection, so that the next call connects to a fresh server.
// Returns the call's HRESULT, or why there is no control object.
HRESULT WithControl(const std::function<HRESULT(ITarnRefControl*)>& call);

// Releases the control object (from the multithreaded apartment).
void Disconnect();

// The process id of the serving server, 0 when none serves; remembers its
// process for WaitKnownServerExit.
ULONG RunningServerId();
// Starts TarnRefServer.exe and waits until it serves; its id or 0.
ULONG StartServerProcess(DWORD timeoutMs);
// Waits for the last server process known to this program to end.
bool WaitKnownServerExit(DWORD timeoutMs);

// A file beside TarnRefClient.dll.
std::wstring FileBesideClient(const wchar_t* name);

}  // namespace tarnref_client
