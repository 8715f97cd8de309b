// What the benchmarks that drive the stub share: the LOGDIR value set for a
// run and put back afterwards, the reference server registered (and, out of
// process, started and let go of at the end), and a server object made the
// way the stub makes it.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <optional>
#include <string>

#include "server/TarnServer.h"
#include "tarnref.h"
#include "win/raii.h"

namespace bench {

// ---- the registry value LOGDIR, put back as it was ----------------------

inline constexpr wchar_t kQuillonKey[] = L"SOFTWARE\\Corvalis\\Quillon";

inline std::optional<std::wstring> ReadLogDir() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kQuillonKey, L"LOGDIR", RRF_RT_REG_SZ, nullptr, buffer, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::wstring(buffer);
}

inline void WriteLogDir(const std::optional<std::wstring>& value) {
    win::UniqueHKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kQuillonKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS)
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
    ScopedLogDir(const ScopedLogDir&) = delete;
    ScopedLogDir& operator=(const ScopedLogDir&) = delete;

private:
    std::optional<std::wstring> previous_;
};

// ---- the reference server -------------------------------------------------

#ifdef TARN_BENCH_OUT_OF_PROCESS
inline constexpr const char* kServerWhere = "out of process (TarnRefServer.exe)";
#else
inline constexpr const char* kServerWhere = "in process (TarnRefServer.dll)";
#endif

// Registers the reference server the way this benchmark reaches it; out of
// process it also starts the server and waits until it serves, so that no
// measurement pays for the start. Out of process, End lets go of the server,
// which must then end by itself: false (after ending it) when it did not, so
// that a benchmark that leaves the server held fails.
class ServerSession {
public:
    ServerSession() {
        ready_ = SUCCEEDED(TarnRef_RegisterServer());
#ifdef TARN_BENCH_OUT_OF_PROCESS
        ready_ = ready_ && TarnRef_StartServer(30000) != 0;
#endif
    }
    ~ServerSession() { End(); }
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    bool ready() const { return ready_; }

    bool End() {
#ifdef TARN_BENCH_OUT_OF_PROCESS
        if (ended_) return true;
        ended_ = true;
        TarnRef_Disconnect();
        if (!TarnRef_WaitServerExit(10000)) {
            std::fprintf(stderr, "the server process did not end by itself once let go of; ending it\n");
            TarnRef_ExitServer(10000);
            return false;
        }
#endif
        return true;
    }

private:
    bool ready_ = false;
    [[maybe_unused]] bool ended_ = false;  // used out of process only
};

// The server object made the way the stub makes it: the secure factory,
// PrepareCreate with this process, then CreateForProcess. Out of process it
// is a proxy, usable from any thread of the multithreaded apartment.
inline win::ComPtr<ITarnServer> CreateServerObject() {
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
    if (FAILED(
            factory->CreateForProcess(processId, 0, IID_ITarnServer, reinterpret_cast<void**>(server.GetAddressOf()))))
        return nullptr;
    return server;
}

}  // namespace bench
