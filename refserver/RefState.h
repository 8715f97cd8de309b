// The reference server's state: one instance per module, shared by every
// server object, every class object and the control functions. A blade's
// view of a Tarn server is process-wide, and the control API reaches the
// same state whether the module was loaded by COM or by the import library.
#pragma once

#include "RefArrays.h"
#include "RefFormat.h"
#include "server/TarnServer.h"
#include "win/raii.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnref {

// One call the server makes on a client's callback object from a thread of
// its own.
struct ClientCall {
    ULONG id = 0;
    win::UniqueHandle done;  // manual-reset event, set when the call returned
    HRESULT result = E_PENDING;
    // PullData only: what the client handed over.
    bool pulledArray = false;
    VARTYPE pulledElementType = VT_EMPTY;
    std::wstring pulledType;
    std::wstring pulledData;
    // Streams only: calls made so far and how many of them failed.
    std::atomic<ULONG> streamMade{0};
    std::atomic<ULONG> streamFailed{0};
};

struct Registration {
    win::ComPtr<ITARNClient> client;
    LONG bladeType = 0;
    std::vector<std::wstring> expectedMessageTypes;
};

struct LogQueue {
    ULONG records = 0;
    bool committed = false;
};

enum class ResponseMode { Echo, Fixed };

// What a successful TriggerPayloadPoll does besides counting: nothing, start
// a PullData call and return, or make the PullData call and wait for it.
enum class PullMode { None, Async, Sync };

// Everything TarnRef_Reset puts back to its initial value.
struct Configuration {
    std::map<std::wstring, HRESULT> failures;
    std::map<std::wstring, HRESULT> results;
    std::map<std::pair<LONG, LONG>, std::string> policies;
    std::map<std::wstring, std::string> policiesById;  // key: GUID text
    bool activationsFixed = false;
    win::UniqueSafeArray activations;  // null with activationsFixed: answer null
    ResponseMode responseMode = ResponseMode::Echo;
    win::UniqueSafeArray response;  // null in Fixed mode: answer null
    std::optional<std::wstring> downloadFileName;
    std::wstring caCertFP = L"REF-CA-FP";
    std::wstring caCertFPEng = L"REF-CA-FP-ENG";
    bool kestrelEnabled = true;
    bool downloadEnabled = true;
    bool certificateEnabled = true;
    PullMode pullOnTrigger = PullMode::None;
    std::wstring exitDuring;  // operation whose next call ends the process
    ULONG prepareReplySize = 16;
    int sideEffectKind = 0;
    std::wstring sideEffectArg;
};

// What the server has been told by its clients.
struct Holdings {
    std::map<ULONG, Registration> registrations;
    ULONG nextCookie = 1;
    ULONG lastCookie = 0;
    std::map<std::wstring, bool> providers;  // key: GUID text
    std::map<ULONG, LogQueue> queues;
    ULONG nextQueue = 1;
    ULONG pollCount = 0;
    ULONG lastPullCall = 0;
};

class RefState {
public:
    static RefState& Instance();

    win::CriticalSection& Lock() RETURN_CAPABILITY(lock_) { return lock_; }

    // All members below are guarded by Lock().
    Configuration config GUARDED_BY(lock_);
    Holdings holdings GUARDED_BY(lock_);
    std::vector<std::wstring> record GUARDED_BY(lock_);
    std::map<ULONG, std::shared_ptr<ClientCall>> clientCalls GUARDED_BY(lock_);
    ULONG nextCallId GUARDED_BY(lock_) = 1;
    bool dead GUARDED_BY(lock_) = false;
    ULONG generation GUARDED_BY(lock_) = 1;

    // Each takes the lock itself.
    void Reset() EXCLUDES(lock_);
    void Restart() EXCLUDES(lock_);
    void AppendRecord(std::wstring line) EXCLUDES(lock_);
    std::optional<HRESULT> InjectedFailure(const std::wstring& operation) EXCLUDES(lock_);
    HRESULT ResultOf(const std::wstring& operation, HRESULT workResult) EXCLUDES(lock_);
    bool IsDisconnected(ULONG objectGeneration) EXCLUDES(lock_);
    // cookie 0: latest live registration
    win::ComPtr<ITARNClient> ClientOf(ULONG cookie) EXCLUDES(lock_);
    // Ends the process when operation is the one chosen with SetExitDuring
    // and the front end can.
    void ExitIfChosen(const wchar_t* operation) EXCLUDES(lock_);

private:
    RefState() = default;
    // Client references are released after the lock is left: releasing one
    // may run client code.
    Holdings TakeHoldings() REQUIRES(lock_);

    win::CriticalSection lock_;
};

// Objects, class objects and client-call threads alive; DllCanUnloadNow
// answers S_OK only at zero.
extern std::atomic<long> g_liveObjects;
// Calls to clients (and streams) still running.
extern std::atomic<long> g_clientCallsInFlight;
// The module that serves the class: set in DllMain, or by the EXE at start.
extern HMODULE g_module;
// Requests for the class object since the module was loaded: each counts
// one and performs the configured side effect.
ULONG ClassObjectRequests();
void NoteClassObjectRequest();

// The in-process front end's caller: always this process.
inline ULONG CurrentProcessId() { return ::GetCurrentProcessId(); }

// What differs between the in-process and the out-of-process front end.
struct FrontEnd {
    bool outOfProcess = false;
    // The process that makes the current call into the server.
    ULONG (*callerProcessId)() = &CurrentProcessId;
    // Ends the process in the middle of a call (TarnRef_ExitDuring); null:
    // the request is ignored, as a server in the client's process cannot die
    // alone.
    void (*exitDuringCall)() = nullptr;
    // An object handed to another process gained its first / lost its last
    // strong external connection (IExternalConnection); the owner is the
    // process whose call created it. Null: not tracked.
    void (*objectConnected)(ULONG ownerProcessId) = nullptr;
    void (*objectDisconnected)(ULONG ownerProcessId) = nullptr;
};
extern FrontEnd g_frontEnd;

// The strong external connections COM reports for one object: while there
// are any, a client process holds the object.
class ConnectionCount {
public:
    explicit ConnectionCount(ULONG owner) : owner_(owner) {}
    ~ConnectionCount() {
        if (count_ > 0 && g_frontEnd.objectDisconnected) g_frontEnd.objectDisconnected(owner_);
    }
    ConnectionCount(const ConnectionCount&) = delete;
    ConnectionCount& operator=(const ConnectionCount&) = delete;

    DWORD Add(DWORD type) {
        if (!(type & EXTCONN_STRONG)) return count_;
        const long count = ++count_;
        if (count == 1 && g_frontEnd.objectConnected) g_frontEnd.objectConnected(owner_);
        return static_cast<DWORD>(count);
    }
    DWORD Release(DWORD type) {
        if (!(type & EXTCONN_STRONG) || count_ <= 0) return count_;
        const long count = --count_;
        if (count == 0 && g_frontEnd.objectDisconnected) g_frontEnd.objectDisconnected(owner_);
        return static_cast<DWORD>(count);
    }

private:
    const ULONG owner_;
    std::atomic<long> count_{0};
};

// One call on a client: runs on the call's thread, returns the call's
// HRESULT and may fill the pulled payload of the ClientCall.
using ClientInvocation = std::function<HRESULT(ITARNClient*, ClientCall&)>;

// Starts a call to the client on a new thread in the multithreaded apartment.
// Returns the call id, or 0 when there is no client or no thread.
ULONG StartClientCall(win::ComPtr<ITARNClient> client, ClientInvocation invoke);
// Starts a PullData call; the ClientCall receives what the client handed over.
ULONG StartPullData(win::ComPtr<ITARNClient> client);
// Waits up to timeoutMs for a client call to return; false on time-out or
// for an unknown id.
bool WaitClientCall(ULONG id, DWORD timeoutMs);
std::shared_ptr<ClientCall> FindClientCall(ULONG id);

// Starts a stream: count calls of one kind (TARNREF_STREAM_*) to the client,
// one after another, each carrying its sequence number. Returns the stream's
// call id, 0 without client or thread or for an unknown kind.
ULONG StartStream(win::ComPtr<ITARNClient> client, int kind, ULONG count, const wchar_t* payloadType);

// The operation whose next call ends the process (null or empty clears).
void SetExitDuring(const wchar_t* operation);

}  // namespace tarnref

namespace tarnref {

// The common frame of every operation: a refused call (disconnected object,
// dead server) answers refusal, an injected failure answers itself, else the
// work runs and its success may be replaced by the chosen result. Every call
// is recorded with its decoded arguments.
template <typename Work>
HRESULT ServeCall(const wchar_t* operation, const std::wstring& args, HRESULT refusal, Work&& work) {
    RefState& state = RefState::Instance();
    state.ExitIfChosen(operation);
    HRESULT hr = refusal;
    if (hr == S_OK) {
        const std::optional<HRESULT> injected = state.InjectedFailure(operation);
        hr = injected ? *injected : state.ResultOf(operation, work());
    }
    std::wstring line = std::wstring(operation) + L"(" + args + L")";
    if (FAILED(hr)) line += L" -> " + FormatHex32(static_cast<ULONG>(hr));
    state.AppendRecord(std::move(line));
    return hr;
}

}  // namespace tarnref
