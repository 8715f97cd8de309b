// GetPolicy round trips per second (export, request worker thread, reference
// server, UTF-8 to UTF-16, BSTR back to the caller) against the floor any
// such request pays: creating and joining one thread that enters the
// multithreaded apartment and makes the same GetPolicyContent call on the
// server object directly. Usage: policy_bench [requests] [rounds] [--no-log]
//
// The stub logs to a fresh temporary LOGDIR at the prefix's trace level
// (with --no-log, LOGDIR is removed for the run and nothing is written).
// The previous LOGDIR value is put back at the end.
#include <windows.h>
#include <objbase.h>
#include <process.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "server/TarnServer.h"
#include "tarnref.h"
#include "tarnstub.h"
#include "win/raii.h"

namespace {

using bench::Now;
using bench::Seconds;

constexpr LONG kPolicyType = 60;
constexpr LONG kPac = 2;
constexpr ULONG kContentBytes = 1024;
constexpr wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";

// ---- the registry value LOGDIR, put back as it was ----------------------

std::optional<std::wstring> ReadLogDir() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kQuillonKey, L"LOGDIR", RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

void WriteLogDir(const std::optional<std::wstring>& value) {
    win::UniqueHKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQuillonKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    if (!value) {
        RegDeleteValueW(key.get(), L"LOGDIR");
        return;
    }
    RegSetValueExW(key.get(), L"LOGDIR", 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                   static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t)));
}

class ScopedLogDir {
public:
    explicit ScopedLogDir(const std::optional<std::wstring>& value) : previous_(ReadLogDir()) { WriteLogDir(value); }
    ~ScopedLogDir() { WriteLogDir(previous_); }

private:
    std::optional<std::wstring> previous_;
};

// ---- the reference server -------------------------------------------------

bool RegisterServer() {
    HMODULE server = GetModuleHandleW(L"TarnRefServer.dll");
    if (!server) return false;
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto entry = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(server, "DllRegisterServer")));
    return entry && SUCCEEDED(entry());
}

// The server object made the way the stub makes it: the secure factory,
// PrepareCreate with this process, then CreateForProcess.
win::ComPtr<ITarnServer> CreateServerObject() {
    win::ComPtr<ISecureFactory> factory;
    if (FAILED(CoGetClassObject(CLSID_TarnServer, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, nullptr,
                                IID_ISecureFactory, reinterpret_cast<void**>(factory.GetAddressOf()))))
        return nullptr;
    const DWORD processId = GetCurrentProcessId();
    BYTE replyBuffer[16] = {};
    win::UniqueSafeArray reply;
    if (FAILED(factory->PrepareCreate(processId, static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(replyBuffer)),
                                      reply.put())))
        return nullptr;
    win::ComPtr<ITarnServer> server;
    if (FAILED(factory->CreateForProcess(processId, 0, IID_ITarnServer,
                                         reinterpret_cast<void**>(server.GetAddressOf()))))
        return nullptr;
    return server;
}

// ---- the two loops --------------------------------------------------------

struct FloorCall {
    ITarnServer* server;
    HRESULT result;
};

unsigned __stdcall FloorThread(void* argument) {
    auto* call = static_cast<FloorCall*>(argument);
    win::MtaScope mta;
    win::UniqueSafeArray content;
    call->result = call->server->GetPolicyContent(kPolicyType, kPac, content.put());
    return 0;
}

// Seconds for count floor round trips; negative on a failure.
double TimeFloor(ITarnServer* server, int count) {
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < count; ++i) {
        FloorCall call{server, E_FAIL};
        win::UniqueHandle thread(
            reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &FloorThread, &call, 0, nullptr)));
        if (!thread || WaitForSingleObject(thread.get(), INFINITE) != WAIT_OBJECT_0 || FAILED(call.result))
            return -1.0;
    }
    return Seconds(start, Now());
}

// Seconds for count GetPolicy round trips; negative on a failure.
double TimeStub(int count) {
    const LARGE_INTEGER start = Now();
    for (int i = 0; i < count; ++i) {
        win::UniqueBstr content;
        if (GetPolicy(kPolicyType, kPac, content.put()) != TARNSTUB_OK || content.length() != kContentBytes)
            return -1.0;
    }
    return Seconds(start, Now());
}

int Fail(const char* what) {
    std::fprintf(stderr, "policy_bench: %s\n", what);
    return 1;
}

int Run(int requests, int rounds, win::ComPtr<ITarnServer>& server) {
    std::string content(kContentBytes, 'p');
    for (ULONG i = 0; i < kContentBytes; i += 64) content[i] = '\n';
    TarnRef_SetPolicyContent(kPolicyType, kPac, content.data(), kContentBytes);

    if (Initialize(12) != TARNSTUB_OK) return Fail("Initialize(12) failed");
    server = CreateServerObject();
    if (!server) return Fail("the server object cannot be created directly");

    // Warm-up, then rounds that alternate the two loops so that both see
    // the same machine state; the best round of each is kept.
    if (TimeStub(std::max(1, requests / 10)) < 0 || TimeFloor(server.Get(), std::max(1, requests / 10)) < 0)
        return Fail("warm-up failed");
    double bestStub = 1e300, bestFloor = 1e300;
    for (int round = 0; round < rounds; ++round) {
        // Which loop goes first changes from round to round.
        double stub = 0, floor = 0;
        if (round % 2 == 0) {
            stub = TimeStub(requests);
            floor = TimeFloor(server.Get(), requests);
        } else {
            floor = TimeFloor(server.Get(), requests);
            stub = TimeStub(requests);
        }
        TarnRef_ClearCallRecord();  // the server's record would otherwise grow without end
        if (stub < 0) return Fail("GetPolicy failed");
        if (floor < 0) return Fail("the direct call failed");
        std::printf("round %d: GetPolicy %.0f/s, floor %.0f/s\n", round + 1, requests / stub, requests / floor);
        bestStub = std::min(bestStub, stub);
        bestFloor = std::min(bestFloor, floor);
    }
    const double stubRate = requests / bestStub, floorRate = requests / bestFloor;
    std::printf("GetPolicy round trips: %.0f/s (%.1f us each)\n", stubRate, 1e6 * bestStub / requests);
    std::printf("floor (thread + MTA + direct call): %.0f/s (%.1f us each)\n", floorRate,
                1e6 * bestFloor / requests);
    std::printf("ratio GetPolicy time / floor time: %.2f (target: at most 1.30)\n", bestStub / bestFloor);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool withLog = !(argc > 3 && std::strcmp(argv[3], "--no-log") == 0);

    if (!RegisterServer()) return Fail("the reference server cannot be registered");
    const std::wstring logDir = bench::MakeBenchDir(L"tarn-policy-bench-");
    ScopedLogDir logDirValue(withLog ? std::optional<std::wstring>(logDir) : std::nullopt);
    std::printf("policy_bench: %d requests x %d rounds, %u bytes of content, log %s\n", requests, rounds,
                static_cast<unsigned>(kContentBytes), withLog ? "on" : "off");

    // The bench's own thread holds the direct server object in the
    // multithreaded apartment, as the adaptor holds its own.
    win::MtaScope mta;
    int result = 0;
    {
        win::ComPtr<ITarnServer> server;
        result = Run(requests, rounds, server);
    }
    Finalize();
    TarnRef_Reset();
    return result;
}
