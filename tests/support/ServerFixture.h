// The frame of an end-to-end test against the reference Tarn server: the
// server registered in the prefix and reset, the stub's log directory set,
// and readers for the server's call record. A test program runs the server
// in process (TarnRefServer.dll) or, built with TARN_TEST_OUT_OF_PROCESS
// (tarn_add_gtest ... OUT_OF_PROCESS), in its own process
// (TarnRefServer.exe through TarnRefClient.dll).
#pragma once

#include <string>
#include <vector>

#include "StubFixture.h"
#include "tarnref.h"
#include "tarnstub.h"

namespace tarn_test {

class ServerTest : public StubTest {
protected:
    static constexpr DWORD kServerStartMs = 10000;
    // How long the server may take to end by itself once the test let go.
    static constexpr DWORD kServerExitMs = 5000;

    void SetUp() override;
    // Leaves the prefix without the server, as tests without one expect.
    void TearDown() override;

    // Removes the server's class registration (the server is "absent");
    // SetUp of the next test registers it again.
    static void UnregisterServer();
    static void RegisterServer();

    // The server's call record, one line per call.
    static std::vector<std::wstring> Calls();
    // The recorded lines that start with prefix.
    static std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix);
    static std::string CallDump();
};

// "{xxxxxxxx-...}" lower-case without braces, as the log and the record show GUIDs.
std::wstring GuidText(const GUID& guid);

}  // namespace tarn_test
