// What the processes writing one log file share, whatever their session or
// account: a lock that keeps their lines and trims apart, a generation count
// that tells each of them when the file at the log path was replaced under
// its handle, the file's length and the outcome of the last trim.
//
// All of it lives in a small side file beside the log, "<log>.lock", which
// every writer maps into memory: a file in the log's directory is the same
// object for a service in session 0 and for the same program in any user
// session (a named memory block is not: "Local\" names are per session), and
// nobody can create it first elsewhere. Taking and leaving the lock are one
// interlocked instruction each when nobody waits; a byte-range lock per
// writer on the same file, which the system drops when its process dies,
// tells a waiter whether the holder still lives.
//
// Nothing that holds the lock can stall the writers for long: a writer that
// cannot have it within kCoordinationWaitMs writes its line anyway, and does
// not wait again while the lock stays unavailable; it never overtakes a
// holder that still lives. Trims hold the lock only for their last, short
// step (LogTrim.h), so a live trimmer is never waited out.
#pragma once

#include <windows.h>

#include <string>

#include "win/raii.h"

namespace adaptor_log {

// The side file's layout; it is zero when first created.
struct alignas(8) SharedLogState {
    // 0 when free, else the holder's token: its liveness slot in the high
    // half, a count of its acquisitions in the low half.
    volatile LONGLONG owner;
    // Counts the replacements of the file at the log path.
    volatile LONG generation;
    // Under the lock: the file's length as last asked of the file system,
    // plus the bytes that the writers appended since.
    ULONGLONG length;
    ULONGLONG uncheckedBytes;
    // Under the lock: the length and time (GetTickCount64) at which the last
    // trim failed, 0 when it did not; the next attempt waits for either to
    // move on far enough, whichever process makes it.
    ULONGLONG trimFailedAtLength;
    ULONGLONG trimFailedAtTick;
};

// The longest a writer waits for a holder that lives: far longer than a
// line, or the last step of a trim, takes.
constexpr DWORD kCoordinationWaitMs = 2000;

class LogCoordination {
public:
    LogCoordination() = default;
    LogCoordination(const LogCoordination&) = delete;
    LogCoordination& operator=(const LogCoordination&) = delete;

    // Opens the side file beside logPath and maps it. A link or reparse
    // point planted under its name is refused like one in place of the log:
    // the reason comes back, and nothing is attached. When the file cannot
    // be had otherwise, a state of this process alone stands in: this
    // process's lines stay whole, only the coordination with other writers
    // is lost.
    std::wstring Attach(const std::wstring& logPath);
    void Detach();
    SharedLogState& state() { return view_ ? *view_.get() : local_; }
    // True when other processes can see the state (for the tests).
    bool IsShared() const { return static_cast<bool>(view_); }

    // Takes the lock; true when held. False when the holder did not let go
    // within the bounded wait, or, after such a wait, at once while it still
    // holds it: the caller then writes without the lock.
    bool Enter();
    void Leave();

    // Claims the right to trim (one trimmer at a time, across processes);
    // false when another writer is trimming. Dropped by EndTrim or by the
    // death of the claimer.
    bool TryBeginTrim();
    void EndTrim();

private:
    static BOOL UnmapView(SharedLogState* view) noexcept { return ::UnmapViewOfFile(view); }

    bool TryTake();
    bool TakeFromDeadHolder(LONGLONG holder);
    bool HolderLives(LONGLONG holder) const;
    bool WaitBounded();
    bool LockByte(ULONGLONG offset) const;
    void UnlockByte(ULONGLONG offset) const;

    win::UniqueHandle file_;
    win::UniqueHandle mapping_;
    win::UniqueAny<SharedLogState*, &UnmapView> view_;
    SharedLogState local_ = {};
    DWORD slot_ = 0;            // this writer's liveness slot
    LONG acquisitions_ = 0;     // the low half of the next token
    LONGLONG token_ = 0;        // the token while the lock is held
    bool unavailable_ = false;  // the last bounded wait ran out
    ULONGLONG lastHolderCheck_ = 0;
};

// Holds the lock of a coordination for its lifetime, if it can be had.
class CoordinationHold {
public:
    explicit CoordinationHold(LogCoordination& coordination)
        : coordination_(coordination), held_(coordination.Enter()) {}
    ~CoordinationHold() {
        if (held_) coordination_.Leave();
    }
    CoordinationHold(const CoordinationHold&) = delete;
    CoordinationHold& operator=(const CoordinationHold&) = delete;

    bool held() const { return held_; }
    // For a trim's long copy: lets go, and takes the lock again.
    void Leave() {
        if (held_) coordination_.Leave();
        held_ = false;
    }
    bool Enter() {
        if (!held_) held_ = coordination_.Enter();
        return held_;
    }

private:
    LogCoordination& coordination_;
    bool held_;
};

}  // namespace adaptor_log
