#include "ChildProcess.h"

#include "log/AdaptorLog.h"

#include <cwchar>

namespace log_test {
namespace {

bool WaitForNamedEvent(const wchar_t* name) {
    win::UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
    return event && WaitForSingleObject(event.get(), kChildWaitMs) == WAIT_OBJECT_0;
}

bool SetNamedEvent(const wchar_t* name) {
    win::UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, name));
    return event && SetEvent(event.get());
}

int RunWriter(wchar_t** argv) {
    const wchar_t* dir = argv[0];
    const wchar_t* file = argv[1];
    const wchar_t* tag = argv[2];
    const int count = _wtoi(argv[3]);
    const auto logLimit = static_cast<DWORD>(wcstoul(argv[4], nullptr, 10));
    const auto logTrunc = static_cast<DWORD>(wcstoul(argv[5], nullptr, 10));
    if (InitLogFile(file, L"ALogLevel", dir) != 0) return 2;
    if (logLimit != 0) adaptor_log_testing::OverrideLimits(logLimit, logTrunc);
    if (!SetNamedEvent(argv[6]) || !WaitForNamedEvent(argv[7])) return 3;
    for (int i = 0; i < count; ++i) WriteLog(LOG_INFO, "Test::Child", L"%s line %d", tag, i);
    adaptor_log_testing::Reset();
    return 0;
}

// Holds the lock of the writers of <log> until <release> is set, as a
// writer stuck in the middle of a line would.
int RunLockHolder(wchar_t** argv) {
    if (!adaptor_log_testing::HoldSharedLockOf(argv[0])) return 2;
    return SetNamedEvent(argv[1]) && WaitForNamedEvent(argv[2]) ? 0 : 3;
}

}  // namespace

int RunChild(int argc, wchar_t** argv) {
    if (argc == 9 && std::wcscmp(argv[0], L"write") == 0) return RunWriter(argv + 1);
    if (argc == 4 && std::wcscmp(argv[0], L"holdlock") == 0) return RunLockHolder(argv + 1);
    if (argc == 2 && std::wcscmp(argv[0], L"hold") == 0) return WaitForNamedEvent(argv[1]) ? 0 : 3;
    return 1;
}

NamedEvent::NamedEvent() {
    static LONG counter = 0;
    name_ = L"Local\\tarn-log-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&counter));
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, name_.c_str()));
}

ChildProcess::ChildProcess(const std::wstring& arguments, bool inheritHandles) {
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(program) + L"\" --log-child " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(program, &commandLine[0], nullptr, nullptr, inheritHandles, 0, nullptr, nullptr, &startup,
                       &info)) {
        process_.reset(info.hProcess);
        win::UniqueHandle thread(info.hThread);
    }
}

ChildProcess::~ChildProcess() {
    if (process_) WaitForSingleObject(process_.get(), kChildWaitMs);
}

DWORD ChildProcess::Wait(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (process_ && WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process_.get(), &code);
    }
    return code;
}

}  // namespace log_test
