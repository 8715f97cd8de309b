// A bounded wait for something another thread (or the server, or the stub's
// own threads) brings about. Tests never wait without a bound: a fault must
// fail the case, not hang the run.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <future>

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

// Far beyond what a call that is not stuck needs, even on a loaded machine.
constexpr DWORD kDeadlockBoundMs = 20000;

// Runs work on a thread of its own and returns its result. Should it not
// come back within timeoutMs, it is taken for a deadlock: a hung thread
// cannot be taken back, so the program ends at once with a message (and the
// test with it) instead of hanging the run.
template <typename Work>
auto FinishesWithin(const char* what, Work work, DWORD timeoutMs = kDeadlockBoundMs) {
    auto running = std::async(std::launch::async, std::move(work));
    if (running.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lu ms: deadlock\n", what, timeoutMs);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return running.get();
}

}  // namespace tarn_test
