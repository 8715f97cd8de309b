// Entries of GANTRY.dll, reached by callers only through the resolver table.
#pragma once

#include "gantry.h"

namespace gantry {

BOOL WINAPI IsPEFileValidExT(const wchar_t* path, ULONG flags, ULONG machines);
BOOL WINAPI GetMonitorEventAttributes(SECURITY_ATTRIBUTES* attributes);
BOOL WINAPI GetMonitorThreadAttributes(SECURITY_ATTRIBUTES* attributes);
HANDLE WINAPI StartNamedThread(SECURITY_ATTRIBUTES* attributes, GANTRY_THREAD_PROC proc, void* argument,
                               const wchar_t* name);

}  // namespace gantry
