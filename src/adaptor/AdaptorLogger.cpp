// Starts the adaptor log, once per process, named after the host process and
// the module that holds the stub.
#include <windows.h>

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"

namespace {

// Guarded by the adaptor's connection lock, which every caller holds.
bool g_loggerStarted = false;

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : MAX_PATH);
}

// The path of the module that contains this code.
std::wstring StubModulePath() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&StubModulePath), &module))
        return {};
    win::UniqueModule reference(module);
    return ModulePath(module);
}

std::wstring LogFileName(const std::wstring& processName) {
    const std::wstring stubPath = StubModulePath();
    const std::wstring moduleName = stubPath.empty() ? std::wstring() : BaseNameWithoutExtension(stubPath);
    if (moduleName.empty() || moduleName == processName) return processName + L"-adaptor.log";
    return processName + L"-" + moduleName + L"-adaptor.log";
}

}  // namespace

void TarnAdaptor::InitLogger() {
    if (g_loggerStarted) return;
    const std::wstring processName = BaseNameWithoutExtension(ModulePath(nullptr));
    if (InitLogFile(LogFileName(processName).c_str(), L"ALogLevel", nullptr) == 0) {
        WriteLog(LOG_INFO, "TarnAdaptor::InitLogger",
                 L"########## TARN ADAPTOR STARTED, PID=%d, ProcessName=%s, Version=%S ##########",
                 static_cast<int>(GetCurrentProcessId()), processName.c_str(), TARNSTUB_VERSION_TEXT);
    }
    g_loggerStarted = true;
}
