#include "ServerFixture.h"

#include <cwchar>

namespace tarn_test {

#ifdef TARN_TEST_OUT_OF_PROCESS

// Out of process: the proxy DLL and TarnRefServer.exe are registered, the
// server is started and reset. At the end the test lets go of the server,
// which must then end by itself: a server kept alive by what the test left
// behind is a failure of the test.
void ServerTest::SetUp() {
    StubTest::SetUp();
    RegisterServer();
    ASSERT_NE(0u, TarnRef_StartServer(kServerStartMs)) << "TarnRefServer.exe did not start";
    TarnRef_Reset();
}

void ServerTest::TearDown() {
    TarnRef_Disconnect();
    if (!TarnRef_WaitServerExit(kServerExitMs)) {
        ADD_FAILURE() << "the server process did not end by itself within " << kServerExitMs
                      << " ms after the test let go of it";
        TarnRef_ExitServer(kServerExitMs);
    }
    UnregisterServer();
    StubTest::TearDown();
}

#else

void ServerTest::SetUp() {
    StubTest::SetUp();
    RegisterServer();
    TarnRef_Reset();
}

void ServerTest::TearDown() {
    UnregisterServer();
    StubTest::TearDown();
}

#endif

void ServerTest::RegisterServer() { ASSERT_EQ(S_OK, TarnRef_RegisterServer()); }

void ServerTest::UnregisterServer() { ASSERT_EQ(S_OK, TarnRef_UnregisterServer()); }

std::vector<std::wstring> ServerTest::Calls() {
    std::vector<std::wstring> lines;
    const ULONG count = TarnRef_CallCount();
    for (ULONG i = 0; i < count; ++i) {
        const ULONG length = TarnRef_GetCallLine(i, nullptr, 0);
        std::wstring line(length + 1, L'\0');
        TarnRef_GetCallLine(i, &line[0], length + 1);
        line.resize(length);
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::wstring> ServerTest::CallsStartingWith(const std::wstring& prefix) {
    std::vector<std::wstring> matching;
    for (const std::wstring& line : Calls())
        if (line.compare(0, prefix.size(), prefix) == 0) matching.push_back(line);
    return matching;
}

std::string ServerTest::CallDump() {
    std::string dump;
    for (const std::wstring& line : Calls()) {
        for (wchar_t c : line) dump += c < 128 ? static_cast<char>(c) : '?';
        dump += '\n';
    }
    return dump;
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40];
    _snwprintf(text, 39, L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2, guid.Data3,
               guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
               guid.Data4[7]);
    text[39] = L'\0';
    return text;
}

}  // namespace tarn_test
