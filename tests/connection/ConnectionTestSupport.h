// Shared helpers of the connection tests: reading one function's log lines
// with their levels, a bounded wait, and a record of what the blade's connect
// callback saw.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "win/raii.h"

namespace connection_test {

// One adaptor log line split into its level letter and its message (the
// text after "<function>: ").
struct LoggedLine {
    wchar_t level;
    std::wstring message;
};

// The lines written under function, in file order.
inline std::vector<LoggedLine> LinesOf(const std::vector<std::wstring>& lines, const std::wstring& function) {
    // "YYYYMMDD HH:MM:SS.mmm L TTTTT Function: message"
    constexpr size_t kLevelColumn = 22;
    const std::wstring marker = L" " + function + L": ";
    std::vector<LoggedLine> found;
    for (const std::wstring& line : lines) {
        const size_t at = line.find(marker);
        if (at == std::wstring::npos || line.size() <= kLevelColumn) continue;
        found.push_back({line[kLevelColumn], line.substr(at + marker.size())});
    }
    return found;
}

inline std::vector<std::wstring> MessagesOf(const std::vector<std::wstring>& lines,
                                            const std::wstring& function) {
    std::vector<std::wstring> messages;
    for (const LoggedLine& line : LinesOf(lines, function)) messages.push_back(line.message);
    return messages;
}

// The level of the first line of function whose message is exactly message,
// or 0 when there is none.
inline wchar_t LevelOf(const std::vector<std::wstring>& lines, const std::wstring& function,
                       const std::wstring& message) {
    for (const LoggedLine& line : LinesOf(lines, function))
        if (line.message == message) return line.level;
    return 0;
}

inline size_t CountMessages(const std::vector<std::wstring>& lines, const std::wstring& function,
                            const std::wstring& message) {
    size_t count = 0;
    for (const LoggedLine& line : LinesOf(lines, function))
        if (line.message == message) ++count;
    return count;
}

inline std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += c < 128 ? static_cast<char>(c) : '?';
    return narrow;
}

inline std::wstring Hex8(HRESULT hr) {
    wchar_t text[16];
    _snwprintf(text, 15, L"0x%08x", static_cast<unsigned>(hr));
    text[15] = L'\0';
    return text;
}

// Polls condition until it holds or timeoutMs has passed.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return condition();
        Sleep(10);
    }
    return true;
}

// The blade's connect callback: counts its calls and signals an event.
struct ConnectRecord {
    std::atomic<int> calls{0};
    std::atomic<DWORD> lastThread{0};
    win::UniqueHandle called{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

inline ConnectRecord& Connects() {
    static ConnectRecord record;
    return record;
}

inline void __cdecl CountingConnectCallback() {
    ConnectRecord& record = Connects();
    record.lastThread = GetCurrentThreadId();
    ++record.calls;
    SetEvent(record.called.get());
}

inline bool WaitForConnect(DWORD timeoutMs) {
    return WaitForSingleObject(Connects().called.get(), timeoutMs) == WAIT_OBJECT_0;
}

}  // namespace connection_test
