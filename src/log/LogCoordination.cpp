#include "log/LogCoordination.h"

#include "log/LogFileSafety.h"

namespace adaptor_log {
namespace {

// Byte ranges of the side file that carry locks, far beyond its data: one
// for the trimmer, and one liveness byte per writer, which it holds for as
// long as it is attached.
constexpr ULONGLONG kTrimByte = 1ull << 32;
constexpr ULONGLONG kLivenessBase = 1ull << 33;
// Liveness slots a writer tries, from its process id on: another copy of
// the log code in the same process takes the next free one.
constexpr DWORD kSlotAttempts = 64;

// The waits of a lock taker: a few spins for a holder that is writing one
// line, then yields, then sleeps.
constexpr DWORD kBusySpins = 64;
constexpr DWORD kYieldingSpins = 128;
// How often a waiting taker asks whether the holder still lives.
constexpr ULONGLONG kHolderCheckMs = 50;
// How often, while the lock is unavailable, a writer asks whether the holder
// died meanwhile (it does not wait for it).
constexpr ULONGLONG kUnavailableCheckMs = 1000;

void Pause(DWORD spins) {
    if (spins < kBusySpins) {
        YieldProcessor();
    } else {
        Sleep(spins < kYieldingSpins ? 0 : 1);
    }
}

DWORD SlotOf(LONGLONG token) { return static_cast<DWORD>(static_cast<ULONGLONG>(token) >> 32); }

}  // namespace

std::wstring LogCoordination::Attach(const std::wstring& logPath) {
    Detach();
    // Not shared for deletion: while any writer has it open, nobody can
    // delete or rename it and so split the writers over two side files.
    CheckedOpen side = OpenPlainFile(logPath + L".lock", GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    if (!side.handle) return side.refusal;
    file_ = std::move(side.handle);
    bool haveSlot = false;
    for (DWORD attempt = 0; attempt < kSlotAttempts && !haveSlot; ++attempt) {
        slot_ = GetCurrentProcessId() + attempt;
        haveSlot = LockByte(kLivenessBase + slot_);
    }
    if (haveSlot) {
        mapping_.reset(CreateFileMappingW(file_.get(), nullptr, PAGE_READWRITE, 0, sizeof(SharedLogState), nullptr));
    }
    if (mapping_) {
        view_.reset(static_cast<SharedLogState*>(
            MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(SharedLogState))));
    }
    if (!view_) Detach();
    return std::wstring();
}

void LogCoordination::Detach() {
    view_.reset();
    mapping_.reset();
    file_.reset();  // drops the liveness byte and any claim to trim
    local_ = SharedLogState{};
    slot_ = 0;
    token_ = 0;
    unavailable_ = false;
    lastHolderCheck_ = 0;
}

bool LogCoordination::LockByte(ULONGLONG offset) const {
    OVERLAPPED range = {};
    range.Offset = static_cast<DWORD>(offset);
    range.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range) != FALSE;
}

void LogCoordination::UnlockByte(ULONGLONG offset) const {
    OVERLAPPED range = {};
    range.Offset = static_cast<DWORD>(offset);
    range.OffsetHigh = static_cast<DWORD>(offset >> 32);
    UnlockFileEx(file_.get(), 0, 1, 0, &range);
}

bool LogCoordination::TryTake() {
    // The count in the low half keeps a token from being mistaken for an
    // earlier one of the same slot.
    const LONGLONG token =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(slot_) << 32) | (static_cast<ULONG>(++acquisitions_) | 1u));
    if (InterlockedCompareExchange64(&state().owner, token, 0) != 0) return false;
    token_ = token;
    return true;
}

// A holder lives while its liveness byte is locked: the system unlocks it
// when the holder's process ends, however it ends. Whatever a foreign
// program wrote into the word names a slot nobody holds, and counts as dead.
bool LogCoordination::HolderLives(LONGLONG holder) const {
    if (!file_) return true;  // this process alone: the holder is one of its threads
    const ULONGLONG liveness = kLivenessBase + SlotOf(holder);
    if (!LockByte(liveness)) return true;
    UnlockByte(liveness);
    return false;
}

bool LogCoordination::TakeFromDeadHolder(LONGLONG holder) {
    if (HolderLives(holder)) return false;
    const LONGLONG token =
        static_cast<LONGLONG>((static_cast<ULONGLONG>(slot_) << 32) | (static_cast<ULONG>(++acquisitions_) | 1u));
    if (InterlockedCompareExchange64(&state().owner, token, holder) != holder) return false;
    token_ = token;
    return true;
}

bool LogCoordination::WaitBounded() {
    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastCheck = start;
    for (DWORD spins = 0;; ++spins) {
        Pause(spins);
        if (TryTake()) return true;
        if (spins < kYieldingSpins) continue;
        const ULONGLONG now = GetTickCount64();
        if (now - lastCheck >= kHolderCheckMs) {
            lastCheck = now;
            const LONGLONG holder = state().owner;
            if (holder != 0 && TakeFromDeadHolder(holder)) return true;
        }
        if (now - start >= kCoordinationWaitMs) {
            unavailable_ = true;
            lastHolderCheck_ = now;
            return false;
        }
    }
}

bool LogCoordination::Enter() {
    if (TryTake()) {
        unavailable_ = false;
        return true;
    }
    if (!unavailable_) return WaitBounded();
    // A holder already outwaited once is not waited for again; now and then
    // a writer looks whether it died meanwhile.
    const ULONGLONG now = GetTickCount64();
    if (now - lastHolderCheck_ < kUnavailableCheckMs) return false;
    lastHolderCheck_ = now;
    const LONGLONG holder = state().owner;
    if ((holder == 0 && TryTake()) || (holder != 0 && TakeFromDeadHolder(holder))) {
        unavailable_ = false;
        return true;
    }
    return false;
}

void LogCoordination::Leave() {
    // Leaves the word alone if it is no longer this holder's.
    InterlockedCompareExchange64(&state().owner, 0, token_);
    token_ = 0;
}

bool LogCoordination::TryBeginTrim() { return !file_ || LockByte(kTrimByte); }

void LogCoordination::EndTrim() {
    if (file_) UnlockByte(kTrimByte);
}

}  // namespace adaptor_log
