// What the processes writing one log file share: a lock that keeps their
// lines and trims apart, a generation count that tells each of them when the
// file at the log path was replaced under its handle, the file's length and
// the outcome of the last trim.
//
// Appending through a handle opened for appending is atomic on Windows, but
// not on every file system and not under every emulation of it; and a trim
// must not lose the lines another process appends while it copies. Both ask
// for one lock across processes. A kernel mutex would cost a system call per
// line, so the lock is a word in a small named memory block that every writer
// of the same log path maps: taking and leaving it are one interlocked
// instruction each when nobody waits.
#pragma once

#include <windows.h>

#include <string>

#include "win/raii.h"

namespace adaptor_log {

// The block's layout; it is zero when first created. The lock word is
// aligned for the 64-bit interlocked operations of 32-bit processes.
struct alignas(8) SharedLogState {
    // 0 when free, else the holder's token: its process id in the high half,
    // a value unique to its copy of the log code in the low half.
    volatile LONGLONG owner;
    // Counts the replacements of the file at the log path.
    volatile LONG generation;
    // Under the lock: the file's length as last asked of the file system,
    // plus the bytes that the writers sharing this block appended since.
    ULONGLONG length;
    ULONGLONG uncheckedBytes;
    // Under the lock: the length and time (GetTickCount64) at which the last
    // trim failed, 0 when it did not; the next attempt waits for either to
    // move on far enough, whichever process makes it.
    ULONGLONG trimFailedAtLength;
    ULONGLONG trimFailedAtTick;
};

// The block for one log path. When the named block cannot be had (no rights
// to the name, no memory), a block of this process alone stands in: the lines
// of this process stay whole, only the coordination with others is lost.
class SharedLogBlock {
public:
    SharedLogBlock() = default;
    SharedLogBlock(const SharedLogBlock&) = delete;
    SharedLogBlock& operator=(const SharedLogBlock&) = delete;

    void Attach(const std::wstring& logPath);
    void Detach();
    SharedLogState& state() { return view_ ? *view_.get() : local_; }
    // True when other processes can see this block (for the tests).
    bool IsShared() const { return static_cast<bool>(view_); }

private:
    static BOOL UnmapView(SharedLogState* view) noexcept { return ::UnmapViewOfFile(view); }

    win::UniqueHandle mapping_;
    win::UniqueAny<SharedLogState*, &UnmapView> view_;
    SharedLogState local_ = {};
};

// Holds the block's lock for its lifetime. A holder that died is detected and
// its lock taken over; a holder that keeps the lock far longer than any trim
// takes (a stuck or foreign process, a reused process id) is overtaken after
// a bounded wait, so that logging never hangs.
class SharedLogLock {
public:
    explicit SharedLogLock(SharedLogState& state);
    ~SharedLogLock();
    SharedLogLock(const SharedLogLock&) = delete;
    SharedLogLock& operator=(const SharedLogLock&) = delete;

private:
    SharedLogState& state_;
    LONGLONG token_;
};

}  // namespace adaptor_log
