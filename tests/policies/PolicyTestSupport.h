// Helpers shared by the policy tests: the frame of a case against an
// initialised blade, the server's policy content, and a record of what the
// remote-access blade's settings-update callback receives.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "LogFile.h"
#include "ServerFixture.h"  // with the server's control API and the stub's exports

namespace policy_test {

using SettingCalls = std::vector<std::pair<LONG, LONG>>;

// A case against the reference server that leaves the stub finalised.
class FinalizingServerTest : public tarn_test::ServerTest {
protected:
    void TearDown() override {
        EXPECT_EQ(TARNSTUB_OK, Finalize());
        ServerTest::TearDown();
    }
};

// A blade of type 12 initialised against the reference server, with the
// server's call record cleared of the connection's calls, so a case sees only
// the calls its own request made.
class InitializedBladeTest : public FinalizingServerTest {
protected:
    void SetUp() override {
        FinalizingServerTest::SetUp();
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        TarnRef_ClearCallRecord();
    }

    // A failure logged `times` times at error level by function, and as often
    // reported to the peer with hr and peerText.
    void ExpectError(const wchar_t* function, const std::wstring& text, const wchar_t* hr, const std::wstring& peerText,
                     size_t times = 1) {
        const auto lines = LogLines();
        const std::vector<wchar_t> errors(times, L'E');
        EXPECT_EQ(errors, tarn_test::LevelsOf(lines, function, text)) << LogDump();
        EXPECT_EQ(errors, tarn_test::LevelsOf(lines, L"TarnNotificationPeer::OnAdaptorError",
                                              std::wstring(L"hr: ") + hr + L" message: " + peerText))
            << LogDump();
    }
};

inline void SetContent(LONG type, LONG pac, const std::string& bytes) {
    TarnRef_SetPolicyContent(type, pac, bytes.data(), static_cast<ULONG>(bytes.size()));
}

// What the settings-update callback received, in order. The callback may
// run on any thread.
inline std::mutex settingsMutex;
inline SettingCalls settingsCalls;
inline void __cdecl RecordSetting(LONG setting, LONG value) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    settingsCalls.emplace_back(setting, value);
}
inline SettingCalls RecordedSettings() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    return settingsCalls;
}

}  // namespace policy_test
