// A server process that ends under a connected blade is replaced by a fresh
// one at the monitor's next tick (the period is short here): the blade is
// told again, and the new process gets the registration and the provider
// info the old one had.
#include <algorithm>

#include "ConnectionTestSupport.h"
#include "adaptor/AdaptorTesting.h"

namespace {

using namespace connection_test;

const wchar_t* const kNames[] = {L"p0"};
const wchar_t* const kValues[] = {L"v0"};
const wchar_t* const kMessages[] = {L"m0"};

class Reconnect : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        adaptor_testing::SetMonitorPeriod(100);
    }

    // The calls the running server process received, without the monitor's
    // checks and the creation handshake (which carries an address).
    static std::vector<std::wstring> BladeCalls() {
        std::vector<std::wstring> calls = Calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const std::wstring& call) {
                                       return call.rfind(L"IsAlive(", 0) == 0 || call.rfind(L"PrepareCreate(", 0) == 0;
                                   }),
                    calls.end());
        return calls;
    }

    // The monitor's warnings that the server is gone (the HRESULT depends
    // on whether a check was under way when the process ended).
    size_t DeadServerWarnings() const {
        const auto entries = EntriesOf(LogLines(), kAlive);
        return static_cast<size_t>(std::count_if(entries.begin(), entries.end(), [](const LogEntry& entry) {
            return entry.level == L'W' && entry.text.rfind(L"TARN is dead, hr: 0x800706b", 0) == 0;
        }));
    }
};

TEST_F(Reconnect, AServerProcessThatEndsIsReplacedAndGetsRegistrationAndProviderInfoAgain) {
    ASSERT_EQ(TARNSTUB_OK, RegisterConnectToTarnNotificationCallback(&CountingConnectCallback));
    ASSERT_EQ(TARNSTUB_OK, Initialize(12));
    ASSERT_TRUE(WaitForConnect());
    const ProviderInfoData provider = {L"prov", kNames, kValues, 1, nullptr, nullptr, 0, kMessages, 1};
    ASSERT_EQ(TARNSTUB_OK, CollectProviderInfo(&provider));
    const std::vector<std::wstring> firstLife = BladeCalls();
    const ULONG first = TarnRef_ServerProcessId();
    ASSERT_NE(0u, first);

    ASSERT_TRUE(TarnRef_ExitServer(kWaitMs));
    // Nothing here asks the server anything until the stub has reconnected:
    // the stub's own activation starts the fresh server process.
    ASSERT_TRUE(WaitForConnect(2 * kWaitMs)) << LogDump();
    const ULONG second = TarnRef_ServerProcessId();
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_NE(GetCurrentProcessId(), second);
    EXPECT_EQ(2, g_connects.calls.load());
    EXPECT_NE(GetCurrentThreadId(), g_connects.lastThread.load());
    EXPECT_EQ(1u, DeadServerWarnings()) << LogDump();

    // The provider info goes to the new process right after the connect
    // callback; the new process heard exactly what the first one had.
    ASSERT_TRUE(TarnRef_WaitForCalls(L"SetNotification", 1, kWaitMs)) << Dumps();
    EXPECT_EQ(firstLife, BladeCalls()) << Dumps();
    EXPECT_EQ(1u, TarnRef_RegistrationCount());
    // The monitor says so once the attempt it made has returned.
    EXPECT_TRUE(WaitForLog(kMonitor, L"MonitorThread: Succeeded to connect to TARN", 1)) << LogDump();

    // The new connection serves requests, and the stop reaches the new process.
    const char policy[] = "<second/>";
    TarnRef_SetPolicyContent(60, 2, policy, sizeof policy - 1);
    BSTR content = nullptr;
    ASSERT_EQ(TARNSTUB_OK, GetPolicy(60, 2, &content));
    EXPECT_EQ(std::wstring(L"<second/>"), std::wstring(content, SysStringLen(content)));
    SysFreeString(content);
    ASSERT_EQ(TARNSTUB_OK, Finalize());
    EXPECT_EQ(0u, TarnRef_RegistrationCount());
    EXPECT_EQ(1u, Count(L"UnRegisterProvider")) << Dumps();
}

}  // namespace
