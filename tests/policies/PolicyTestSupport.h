// Helpers shared by the policy tests: the frame of a case against an
// initialised blade, the server's policy content, and a record of what the
// remote-access blade's settings-update callback receives.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ServerFixture.h"
#include "WaitUntil.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace policy_test {

// A blade of type 12 initialised against the reference server, with the
// server's call record cleared of the connection's calls, so a case sees only
// the calls its own request made; finalised again at the end.
class InitializedBladeTest : public tarn_test::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        ASSERT_EQ(TARNSTUB_OK, Initialize(12));
        TarnRef_ClearCallRecord();
    }
    void TearDown() override { EXPECT_EQ(TARNSTUB_OK, Finalize()); }
};

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
        return tarn_test::WaitUntil([&] { return Calls().size() >= count; });
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
