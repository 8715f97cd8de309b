// Shared helpers of the connection tests: texts for failure messages and a
// record of what the blade's connect callback saw.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "win/raii.h"

namespace connection_test {

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
