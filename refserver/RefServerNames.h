// Names of the kernel objects by which TarnRefServer.exe and its clients
// (TarnRefClient.dll) find each other.
#pragma once

#include <windows.h>

#include <string>

namespace tarnref {

// Held by the one server process that serves; a second one waits for it.
constexpr wchar_t kInstanceMutexName[] = L"TarnRefServer.Instance";
// Four bytes: the process id of the server that serves.
constexpr wchar_t kProcessIdMappingName[] = L"TarnRefServer.ProcessId";

// Set (manual reset) once the server process with that id serves its classes.
inline std::wstring ReadyEventName(ULONG processId) { return L"TarnRefServer.Ready." + std::to_wstring(processId); }

}  // namespace tarnref
