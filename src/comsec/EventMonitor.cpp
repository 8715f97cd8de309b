#include "comsec/EventMonitor.h"

#include "comsec/SecureCreate.h"

#include <cstdlib>
#include <cwchar>

namespace comsec {

namespace {

const wchar_t kMonitorThreadName[] = L"COMSecEventMon";
// File and directory names, attributes, size, last write, creation and
// security (0x15F). Last access (0x20) is left out on purpose: a change in
// the directory aborts the creation, and the creation itself reads the server
// file (validation, then loading it), which on volumes that keep access
// times would abort every creation.
constexpr DWORD kDirectoryFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_ATTRIBUTES |
    FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
static_assert(kDirectoryFilter == 0x15F, "directory watch filter");
constexpr DWORD kRegistryFilter = 0xF;  // names, attributes, values, security
constexpr DWORD kStopTimeoutMs = 90000;
// Arming takes two system calls; a thread that has not managed it by then is
// treated as a watch that could not be started.
constexpr DWORD kArmTimeoutMs = 10000;
constexpr unsigned kExitNoMonitor = 87;  // ERROR_INVALID_PARAMETER
constexpr unsigned kExitFailed = static_cast<unsigned>(E_FAIL);

// The directory watch, closed through the monitor's own closing function.
using DirectoryWatch = win::UniqueAny<HANDLE, &CEventMonitor::CloseFileChangeHandleWrapper, &win::IsValidHandle>;

bool IsSignalled(HANDLE handle) noexcept {
    return handle != nullptr && ::WaitForSingleObject(handle, 0) == WAIT_OBJECT_0;
}

// "<drive><directory>\" of path, within the classic drive and directory
// limits; empty when the path does not split.
std::wstring DirectoryToWatch(const std::wstring& path) {
    wchar_t drive[_MAX_DRIVE] = {};
    wchar_t directory[_MAX_DIR] = {};
    if (_wsplitpath_s(path.c_str(), drive, _MAX_DRIVE, directory, _MAX_DIR, nullptr, 0, nullptr, 0) != 0)
        return std::wstring();
    std::wstring joined = std::wstring(drive) + directory;
    if (joined.empty()) return joined;
    if (joined.back() != L'\\' && joined.back() != L'/') joined += L'\\';
    return joined;
}

}  // namespace

struct CEventMonitor::WatchState {
    std::atomic<bool> changed{false};
    std::wstring serverPath;
    win::UniqueHKey classKey;
    win::UniqueHandle stopEvent;
    // Set by the thread once both watches below are in place; the watches
    // are written before and only read after that, and closed with the state.
    win::UniqueHandle armedEvent;
    std::atomic<bool> armed{false};
    DirectoryWatch directoryWatch;
    win::UniqueHandle registryEvent;
    SECURITY_ATTRIBUTES eventAttributes{};

    unsigned Watch();
    bool ArmDirectoryWatch();
    bool ArmRegistryWatch();
};

bool CEventMonitor::WatchState::ArmDirectoryWatch() {
    const std::wstring directory = DirectoryToWatch(serverPath);
    if (directory.empty()) return false;
    directoryWatch.reset(::FindFirstChangeNotificationW(directory.c_str(), FALSE, kDirectoryFilter));
    return static_cast<bool>(directoryWatch);
}

bool CEventMonitor::WatchState::ArmRegistryWatch() {
    registryEvent.reset(::CreateEventW(&eventAttributes, TRUE, FALSE, nullptr));
    if (!registryEvent) return false;
    if (::RegNotifyChangeKeyValue(classKey.get(), TRUE, kRegistryFilter, registryEvent.get(), TRUE) != ERROR_SUCCESS) {
        registryEvent.reset();
        return false;
    }
    return true;
}

// One-shot: the first signal ends the watch.
unsigned CEventMonitor::WatchState::Watch() {
    const bool armedBoth = ArmDirectoryWatch() && ArmRegistryWatch();
    if (!armedBoth) {
        changed = true;
        ::SetEvent(armedEvent.get());
        return kExitFailed;
    }
    armed = true;
    ::SetEvent(armedEvent.get());
    const HANDLE waitList[] = {stopEvent.get(), directoryWatch.get(), registryEvent.get()};
    const DWORD signalled = ::WaitForMultipleObjects(3, waitList, FALSE, INFINITE);
    switch (signalled) {
        case WAIT_OBJECT_0:  // stop requested
            return 0;
        case WAIT_OBJECT_0 + 1:  // the server's directory changed
        case WAIT_OBJECT_0 + 2:  // the class key changed
            changed = true;
            return 0;
        default: changed = true; return kExitFailed;
    }
}

unsigned __stdcall CEventMonitor::MonitorThread(void* argument) {
    if (argument == nullptr) return kExitNoMonitor;
    // The thread owns one reference to the shared state.
    std::unique_ptr<std::shared_ptr<WatchState>> state(static_cast<std::shared_ptr<WatchState>*>(argument));
    try {
        return (*state)->Watch();
    } catch (...) {
        // A watch that cannot be set up (no memory for the path) counts as
        // a change: the creation is refused, never left unwatched.
        (*state)->changed = true;
        ::SetEvent((*state)->armedEvent.get());
        return kExitFailed;
    }
}

CEventMonitor::~CEventMonitor() { reset(); }

bool CEventMonitor::StartMonitor(REFCLSID clsid, REFIID iid) {
    classId_ = clsid;
    interfaceId_ = iid;
    // A running watch is never replaced: that would drop a change it saw.
    if (state_ || monitorThread_) return false;
    serverPath_ = FindServerPath(clsid);
    if (serverPath_.empty()) return false;
    auto state = std::make_shared<WatchState>();
    state->serverPath = serverPath_;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyName(clsid).c_str(), 0, KEY_READ, state->classKey.put()) !=
        ERROR_SUCCESS)
        return false;
    SECURITY_ATTRIBUTES threadAttributes{};
    if (!gantry_.Load() || !gantry_.GetMonitorEventAttributes(state->eventAttributes) ||
        !gantry_.GetMonitorThreadAttributes(threadAttributes))
        return false;
    state->stopEvent.reset(::CreateEventW(&state->eventAttributes, TRUE, FALSE, nullptr));
    state->armedEvent.reset(::CreateEventW(&state->eventAttributes, TRUE, FALSE, nullptr));
    if (!state->stopEvent || !state->armedEvent) return false;

    auto threadReference = std::make_unique<std::shared_ptr<WatchState>>(state);
    monitorThread_.reset(
        gantry_.StartNamedThread(&threadAttributes, &MonitorThread, threadReference.get(), kMonitorThreadName));
    if (!monitorThread_) return false;
    static_cast<void>(threadReference.release());  // now the thread's
    state_ = std::move(state);
    return WaitUntilArmed();
}

// Without this wait a change made right after StartMonitor returned could
// happen before the watches exist and go unnoticed.
bool CEventMonitor::WaitUntilArmed() const {
    const HANDLE waitList[] = {state_->armedEvent.get(), monitorThread_.get()};
    const DWORD result = ::WaitForMultipleObjects(2, waitList, FALSE, kArmTimeoutMs);
    if (result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1) return true;
    state_->changed = true;
    return false;
}

void CEventMonitor::StopMonitor() {
    if (!state_) return;
    if (monitorThread_) {
        ::SetEvent(state_->stopEvent.get());
        ::WaitForSingleObject(monitorThread_.get(), kStopTimeoutMs);
        DWORD exitCode = 0;
        ::GetExitCodeThread(monitorThread_.get(), &exitCode);
    }
    monitorThread_.reset();
    // The stop event and the watches close when the thread, if it is still
    // running after the wait, lets go of the state as well.
    state_.reset();
}

void CEventMonitor::reset() {
    StopMonitor();
    classId_ = GUID_NULL;
    interfaceId_ = GUID_NULL;
    serverPath_.clear();
}

bool CEventMonitor::Changed() const {
    if (!state_) return false;
    if (state_->changed) return true;
    if (state_->armed && (IsSignalled(state_->directoryWatch.get()) || IsSignalled(state_->registryEvent.get())))
        return true;
    return state_->changed;
}

bool CEventMonitor::ChangedAfterSettling(DWORD graceMs) const {
    if (Changed()) return true;
    // The thread ends on the first signal of either watch.
    if (monitorThread_) ::WaitForSingleObject(monitorThread_.get(), graceMs);
    return Changed();
}

bool CEventMonitor::CloseFileChangeHandleWrapper(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    return ::FindCloseChangeNotification(handle) != FALSE;
}

}  // namespace comsec
