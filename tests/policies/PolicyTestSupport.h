// Helpers shared by the policy tests: reading a log line's level, waiting
// for something another thread does (always with a bound), and recording
// what the remote-access blade's settings-update callback receives.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ServerFixture.h"

namespace policy_test {

constexpr DWORD kWaitMs = 5000;

// The level letter of an adaptor log line ("yyyymmdd hh:mm:ss.mmm L ...").
inline wchar_t LevelOf(const std::wstring& line) { return line.size() > 22 ? line[22] : L'?'; }

// The lines of the log that contain "<function>: <message>" exactly, each
// reduced to its level letter.
inline std::vector<wchar_t> LevelsOfLine(const std::vector<std::wstring>& lines, const std::wstring& function,
                                         const std::wstring& message) {
    const std::wstring needle = L" " + function + L": " + message;
    std::vector<wchar_t> levels;
    for (const std::wstring& line : lines) {
        const size_t at = line.find(needle);
        if (at != std::wstring::npos && at + needle.size() == line.size()) levels.push_back(LevelOf(line));
    }
    return levels;
}

// Polls condition until it holds or timeoutMs have passed.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs = kWaitMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
}

// Bytes of a narrow literal without its terminating zero.
inline std::string Bytes(const char* text) { return std::string(text); }

inline void SetContent(LONG type, LONG pac, const std::string& bytes) {
    TarnRef_SetPolicyContent(type, pac, bytes.data(), static_cast<ULONG>(bytes.size()));
}

// What the settings-update callback received, in order. The callback may
// run on any thread; the event is set on every call.
class SettingsRecorder {
public:
    static SettingsRecorder& Instance() {
        static SettingsRecorder recorder;
        return recorder;
    }
    static void __cdecl Callback(LONG setting, LONG value) { Instance().Add(setting, value); }

    std::vector<std::pair<LONG, LONG>> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Waits until at least count calls arrived.
    bool WaitFor(size_t count) {
        return WaitUntil([&] { return Calls().size() >= count; });
    }

private:
    void Add(LONG setting, LONG value) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.emplace_back(setting, value);
    }
    std::mutex mutex_;
    std::vector<std::pair<LONG, LONG>> calls_;
};

}  // namespace policy_test
