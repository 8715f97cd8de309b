#include "log/SharedLogLock.h"

#include <cstdint>
#include <cwctype>

namespace adaptor_log {
namespace {

// Object names cannot hold backslashes, and the file system ignores case: the
// path in upper case with slashes names the same file for every writer that
// names it alike.
std::wstring BlockName(const std::wstring& logPath) {
    std::wstring name = L"Local\\TarnStub.AdaptorLog:";
    name.reserve(name.size() + logPath.size());
    for (wchar_t c : logPath) name.push_back(c == L'\\' ? L'/' : static_cast<wchar_t>(towupper(c)));
    return name;
}

// The waits of a lock taker: a few spins for a holder that is writing one
// line, then yields, then sleeps.
constexpr DWORD kBusySpins = 64;
constexpr DWORD kYieldingSpins = 128;
// How often a sleeping taker asks whether the holder still lives.
constexpr ULONGLONG kHolderCheckMs = 50;
// Far longer than a trim of the largest allowed log takes on a slow disk.
constexpr ULONGLONG kLongestWaitMs = 20000;

int g_tokenAnchor;

LONGLONG OwnToken() {
    // Another copy of this code in the same process (a second stub module)
    // has another anchor address.
    const auto anchor = static_cast<DWORD>(reinterpret_cast<uintptr_t>(&g_tokenAnchor) >> 2) | 1u;
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(GetCurrentProcessId()) << 32) | anchor);
}

bool HolderLives(LONGLONG holder) {
    const auto processId = static_cast<DWORD>(static_cast<ULONGLONG>(holder) >> 32);
    if (processId == GetCurrentProcessId()) return true;
    win::UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;  // no such process
    return WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

void Pause(DWORD spins) {
    if (spins < kBusySpins) {
        YieldProcessor();
    } else {
        Sleep(spins < kYieldingSpins ? 0 : 1);
    }
}

}  // namespace

void SharedLogBlock::Attach(const std::wstring& logPath) {
    Detach();
    // Not inheritable: a child process must not keep the block alive.
    mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(SharedLogState), BlockName(logPath).c_str()));
    if (!mapping_) return;
    view_.reset(static_cast<SharedLogState*>(
        MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedLogState))));
    if (!view_) mapping_.reset();
}

void SharedLogBlock::Detach() {
    view_.reset();
    mapping_.reset();
    local_ = SharedLogState{};
}

SharedLogLock::SharedLogLock(SharedLogState& state) : state_(state), token_(OwnToken()) {
    ULONGLONG waitStart = 0;
    ULONGLONG lastCheck = 0;
    for (DWORD spins = 0;; ++spins) {
        const LONGLONG holder = InterlockedCompareExchange64(&state_.owner, token_, 0);
        if (holder == 0) return;
        Pause(spins);
        if (spins < kYieldingSpins) continue;
        const ULONGLONG now = GetTickCount64();
        if (waitStart == 0) waitStart = lastCheck = now;
        if (now - lastCheck < kHolderCheckMs) continue;
        lastCheck = now;
        // Take over from a dead holder, or from one that never lets go.
        if ((!HolderLives(holder) || now - waitStart >= kLongestWaitMs) &&
            InterlockedCompareExchange64(&state_.owner, token_, holder) == holder) {
            return;
        }
    }
}

SharedLogLock::~SharedLogLock() {
    // Leaves the word alone if another taker overtook this holder.
    InterlockedCompareExchange64(&state_.owner, 0, token_);
}

}  // namespace adaptor_log
