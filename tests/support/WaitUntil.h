// A bounded wait for something another thread (or the server, or the stub's
// own threads) brings about. Tests never wait without a bound: a fault must
// fail the case, not hang the run.
#pragma once

#include <windows.h>

namespace tarn_test {

// Long enough for a loaded machine under Wine, short enough that a case
// that will never see its condition fails quickly.
constexpr DWORD kWaitMs = 5000;

// Polls condition every 10 ms until it holds or timeoutMs have passed. The
// condition gets one last look at the deadline, so a wait that was starved
// of the processor does not fail on a condition that holds by then.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = kWaitMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return condition();
        Sleep(10);
    }
    return true;
}

}  // namespace tarn_test
