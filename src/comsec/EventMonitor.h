// The watch kept over a server's registration during its creation.
#pragma once

#include "comsec/GantryLoader.h"
#include "win/raii.h"

#include <atomic>
#include <memory>
#include <string>

namespace comsec {

// Watches, on a thread of its own ("COMSecEventMon"), the directory of the
// registered server file and the class's registry key (whole subtree) for
// the lifetime of one secure creation. A change of the key, a change in the
// directory, or any failure to set up or keep the watch sets the changed
// flag; the watch is one-shot.
//
// A change in the server's directory aborts the creation just as a change of
// the class key does: a file dropped or replaced beside the server (a DLL
// the server loads, or the server itself) while it is being started is the
// very thing this watch exists to catch.
class CEventMonitor {
public:
    CEventMonitor() = default;
    ~CEventMonitor();
    CEventMonitor(const CEventMonitor&) = delete;
    CEventMonitor& operator=(const CEventMonitor&) = delete;

    // Finds the server path, opens the class key and starts the watch
    // thread. Returns once the thread has armed both watches, or has given
    // up (the flag is then set). False when there is no server path, the key
    // cannot be opened, the monitor is already started, or the thread cannot
    // be started.
    bool StartMonitor(REFCLSID clsid, REFIID iid);
    // Ends the thread (waiting at most 90 s) and releases the watch. Does
    // nothing on a monitor that was never started.
    void StopMonitor();
    // StopMonitor, then forget the ids and the server path.
    void reset();

    // True once a watched object changed or the watch failed. Also looks at
    // the watch objects themselves, so a change signalled just before the
    // call counts even if the thread has not run yet.
    bool Changed() const;
    // Changed, after giving a change that is already under way up to
    // graceMs to be reported. Some file systems (and Wine) deliver directory
    // notifications a moment after the write that caused them; the wait ends
    // early as soon as the watch fires.
    bool ChangedAfterSettling(DWORD graceMs) const;

    const std::wstring& ServerPath() const noexcept { return serverPath_; }

    // Closes a directory change notification; false if that failed.
    static bool CloseFileChangeHandleWrapper(HANDLE handle);

    // Shared by the monitor and its thread, so that a thread that outlives
    // StopMonitor's wait never touches a destroyed monitor.
    struct WatchState;

private:
    static unsigned __stdcall MonitorThread(void* argument);
    bool WaitUntilArmed() const;

    std::shared_ptr<WatchState> state_;
    CLSID classId_ = GUID_NULL;
    IID interfaceId_ = GUID_NULL;
    std::wstring serverPath_;
    win::UniqueHandle monitorThread_;
    CGantry gantry_;
};

}  // namespace comsec
