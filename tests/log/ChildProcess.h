// A second process for the log tests: this very test program started again
// with "--log-child" and the arguments of one of the roles below.
#pragma once

#include <windows.h>

#include <string>

#include "win/raii.h"

namespace log_test {

// Roles of the child:
//   write <dir> <file> <tag> <count> <logLimit> <logTrunc> <ready> <start>
//     starts the log on <dir>\<file> (limits overridden unless 0), sets the
//     event <ready>, waits for <start>, then writes <count> lines
//     "<tag> line <i>" under "Test::Child".
//   holdlock <log> <ready> <release>
//     takes the lock that the writers of <log> share, sets <ready> and keeps
//     the lock until <release> is set, like a writer stuck inside a line.
//   hold <release>
//     waits for the event <release>; started with inherited handles, it holds
//     whatever the parent let it inherit.
// Returns the child's exit code: 0 when the role went through.
int RunChild(int argc, wchar_t** argv);

// A manual-reset event with a name unique to this process.
class NamedEvent {
public:
    NamedEvent();
    const std::wstring& name() const { return name_; }
    void Set() { SetEvent(event_.get()); }
    // True once the event is set, false after timeoutMs.
    bool Wait(DWORD timeoutMs) const { return WaitForSingleObject(event_.get(), timeoutMs) == WAIT_OBJECT_0; }

private:
    std::wstring name_;
    win::UniqueHandle event_;
};

class ChildProcess {
public:
    // inheritHandles as for CreateProcess.
    ChildProcess(const std::wstring& arguments, bool inheritHandles);
    // Waits for a child that is still running (each role ends by itself).
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return static_cast<bool>(process_); }
    // The exit code, or STILL_ACTIVE if the child did not end within timeoutMs.
    DWORD Wait(DWORD timeoutMs);

private:
    win::UniqueHandle process_;
};

// Long enough for a child to start under emulation on a busy machine and do
// its work; every role also ends by itself within it.
constexpr DWORD kChildWaitMs = 120000;

}  // namespace log_test
