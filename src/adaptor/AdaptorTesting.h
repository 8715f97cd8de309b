// Hooks for the adaptor's own tests. They live only in the static library
// that tests link; TarnStub.dll exports nothing of them.
#pragma once

#include <windows.h>

namespace adaptor_testing {
// Replaces the monitor thread's 30-second period.
void SetMonitorPeriod(DWORD milliseconds);
}  // namespace adaptor_testing
