// Shared frame of the reports and payload tests: the reference server up,
// the stub initialised against it, the adaptor log by function and level,
// and the server's pull of a collected payload.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "LogFile.h"
#include "ServerFixture.h"
#include "win/raii.h"

namespace reports_test {

using Texts = std::vector<std::wstring>;

// An ordinary blade type with the default notification peer.
constexpr DWORD kBladeType = 12;

class ReportsTest : public tarn_test::ServerTest {
protected:
    // Initialize(kBladeType), asserting that it connected to the server.
    void InitializeConnected() {
        ASSERT_EQ(TARNSTUB_OK, Initialize(kBladeType));
        ASSERT_EQ(1u, TarnRef_CountCalls(L"Register")) << CallDump();
    }
    Texts TextsOf(const std::wstring& function, wchar_t level) const {
        return tarn_test::TextsOf(LogLines(), function, level);
    }
    // What the notification peer was told, one "hr: 0x... message: ..." per report.
    Texts AdaptorErrors() const { return TextsOf(L"TarnNotificationPeer::OnAdaptorError", L'E'); }
    size_t ErrorLineCount() const {
        const auto entries = tarn_test::ParseLogLines(LogLines());
        return std::count_if(entries.begin(), entries.end(),
                             [](const tarn_test::LogEntry& entry) { return entry.level == L'E'; });
    }
};

// A BSTR out-slot preset to a value the stub must not touch.
struct BstrSlot {
    win::UniqueBstr value = win::UniqueBstr::Copy(L"untouched");
    const BSTR original = value.get();
    BSTR* Out() { return value.put_in_out(); }
    bool Untouched() const { return value.get() == original; }
    std::wstring Text() const { return value.get() ? std::wstring(value.get(), value.length()) : L"<null>"; }
};

// What the server's PullData call callId gave: "<hr> VT_UI1 <type>: <text>",
// "<hr> none" when no payload was handed over, "unfinished" when the call
// did not end in time.
inline std::wstring PullResult(ULONG callId) {
    HRESULT hr = E_UNEXPECTED;
    if (callId == 0 || !TarnRef_WaitCall(callId, tarn_test::kWaitMs, &hr)) return L"unfinished";
    wchar_t type[64] = {}, data[256] = {}, result[400] = {};
    VARTYPE vt = VT_EMPTY;
    const bool handedOver = TarnRef_GetPulledPayload(callId, type, 64, data, 256, &vt) != FALSE;
    const wchar_t* elements = vt == VT_UI1 ? L"VT_UI1" : L"VT_?";
    if (handedOver) _snwprintf(result, 399, L"0x%08x %s %s: %s", static_cast<unsigned>(hr), elements, type, data);
    if (!handedOver) _snwprintf(result, 399, L"0x%08x none", static_cast<unsigned>(hr));
    return result;
}

// The server pulls the payload from the stub, as its poll would.
inline std::wstring Pull() { return PullResult(TarnRef_CallPullData(0)); }

}  // namespace reports_test
