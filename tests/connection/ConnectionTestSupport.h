// The frame the connection suites share: the reference server, a record of
// the blade's connect callback, and readers of the call record and the log.
#pragma once

#include <atomic>

#include "LogFile.h"
#include "ServerFixture.h"
#include "win/raii.h"

namespace connection_test {

using namespace tarn_test;

const wchar_t kConnect[] = L"TarnAdaptor::ConnectToTARN";
const wchar_t kStart[] = L"TarnAdaptor::Start";
const wchar_t kStop[] = L"TarnAdaptor::Stop";
const wchar_t kMonitor[] = L"TarnAdaptor::TARNMonitorPorocedure";
const wchar_t kAlive[] = L"TarnAdaptor::IsTARNAlive";

struct ConnectRecord {
    std::atomic<int> calls{0};
    std::atomic<DWORD> lastThread{0};
    win::UniqueHandle called{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

inline ConnectRecord g_connects;

inline void __cdecl CountingConnectCallback() {
    g_connects.lastThread = GetCurrentThreadId();
    ++g_connects.calls;
    SetEvent(g_connects.called.get());
}

inline bool WaitForConnect(DWORD timeoutMs = kWaitMs) {
    return WaitForSingleObject(g_connects.called.get(), timeoutMs) == WAIT_OBJECT_0;
}

class ConnectionTest : public ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        g_connects.calls = 0;
    }

    static size_t Count(const wchar_t* operation) { return TarnRef_CountCalls(operation); }
    // The level of the first log line function wrote with message (0: none),
    // and how many it wrote.
    wchar_t Level(const wchar_t* function, const std::wstring& message) const {
        return LevelOf(LogLines(), function, message);
    }
    size_t Written(const wchar_t* function, const std::wstring& message) const {
        return CountMessages(LogLines(), function, message);
    }
    bool WaitForLog(const wchar_t* function, const std::wstring& message, size_t count) const {
        return WaitUntil([&] { return Written(function, message) >= count; });
    }

    std::string Dumps() const { return "log:\n" + LogDump() + "server:\n" + CallDump(); }

    static DWORD FinalizeWithinBound() {
        return FinishesWithin("Finalize", [] { return Finalize(); });
    }

    // Finalizes until the stub is uninitialised, then checks that the
    // server holds no registration any more. Without server restarts (which
    // drop registrations themselves) every Register has its Unregister.
    void ExpectAllUnregistered(bool serverRestarted) {
        while (FinalizeWithinBound() == TARNSTUB_OK) continue;
        EXPECT_TRUE(WaitUntil([] { return TarnRef_RegistrationCount() == 0; })) << Dumps();
        if (!serverRestarted) {
            EXPECT_EQ(Count(L"Register"), Count(L"Unregister")) << Dumps();
        }
    }
};

}  // namespace connection_test
