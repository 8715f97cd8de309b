#include "RefState.h"

namespace tarnref {

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_clientCallsInFlight{0};
HMODULE g_module = nullptr;
FrontEnd g_frontEnd;

RefState& RefState::Instance() {
    // Never destroyed: at process exit the clients whose references the
    // state may still hold can already be gone, so releasing them then would
    // call into unloaded code.
    static RefState* const instance = new RefState();
    return *instance;
}

void RefState::Reset() {
    Holdings dropped;
    {
        win::Lock guard(lock_);
        dropped = TakeHoldings();
        config = Configuration();
        record.clear();
        clientCalls.clear();
        dead = false;
    }
}

void RefState::Restart() {
    Holdings dropped;
    {
        win::Lock guard(lock_);
        dropped = TakeHoldings();
        dead = false;
        ++generation;
    }
}

Holdings RefState::TakeHoldings() {
    Holdings taken = std::move(holdings);
    holdings = Holdings();
    // Cookies and queue ids keep growing across restarts, as a fresh server
    // would not hand out a number a stale client still holds.
    holdings.nextCookie = taken.nextCookie;
    holdings.nextQueue = taken.nextQueue;
    return taken;
}

void RefState::AppendRecord(std::wstring line) {
    win::Lock guard(lock_);
    record.push_back(std::move(line));
}

std::optional<HRESULT> RefState::InjectedFailure(const std::wstring& operation) {
    win::Lock guard(lock_);
    const auto found = config.failures.find(operation);
    if (found == config.failures.end()) return std::nullopt;
    return found->second;
}

HRESULT RefState::ResultOf(const std::wstring& operation, HRESULT workResult) {
    if (FAILED(workResult)) return workResult;
    win::Lock guard(lock_);
    const auto found = config.results.find(operation);
    return found == config.results.end() ? workResult : found->second;
}

bool RefState::IsDisconnected(ULONG objectGeneration) {
    win::Lock guard(lock_);
    return dead || objectGeneration != generation;
}

win::ComPtr<ITARNClient> RefState::ClientOf(ULONG cookie) {
    win::Lock guard(lock_);
    if (cookie == 0 && !holdings.registrations.empty()) {
        cookie = holdings.registrations.rbegin()->first;
    }
    const auto found = holdings.registrations.find(cookie);
    if (found == holdings.registrations.end()) return nullptr;
    return found->second.client;
}

void RefState::ExitIfChosen(const wchar_t* operation) {
    if (!g_frontEnd.exitDuringCall) return;
    {
        win::Lock guard(lock_);
        if (config.exitDuring.empty() || config.exitDuring != operation) return;
    }
    g_frontEnd.exitDuringCall();
}

void SetExitDuring(const wchar_t* operation) {
    RefState& state = RefState::Instance();
    win::Lock guard(state.Lock());
    state.config.exitDuring = operation ? operation : L"";
}

}  // namespace tarnref
