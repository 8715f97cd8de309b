// Starts the adaptor log, once per process, named after the host process and
// the module that holds the stub.
#include <windows.h>

#include "adaptor/TarnAdaptor.h"
#include "log/AdaptorLog.h"
#include "win/ModulePath.h"

namespace {

// Guarded by the adaptor's connection lock, which every caller holds.
bool g_loggerStarted = false;

// The path of the module that contains this code.
std::wstring StubModulePath() { return win::ModuleFileNameOf(reinterpret_cast<const void*>(&StubModulePath)); }

std::wstring LogFileName(const std::wstring& processName) {
    const std::wstring stubPath = StubModulePath();
    const std::wstring moduleName = stubPath.empty() ? std::wstring() : BaseNameWithoutExtension(stubPath);
    if (moduleName.empty() || moduleName == processName) return processName + L"-adaptor.log";
    return processName + L"-" + moduleName + L"-adaptor.log";
}

}  // namespace

void TarnAdaptor::InitLogger() {
    if (g_loggerStarted) return;
    const std::wstring processName = BaseNameWithoutExtension(win::ModuleFileName(nullptr));
    if (InitLogFile(LogFileName(processName).c_str(), L"ALogLevel", nullptr) == 0) {
        WriteLog(LOG_INFO, "TarnAdaptor::InitLogger",
                 L"########## TARN ADAPTOR STARTED, PID=%d, ProcessName=%s, Version=%S ##########",
                 static_cast<int>(GetCurrentProcessId()), processName.c_str(), TARNSTUB_VERSION_TEXT);
    }
    g_loggerStarted = true;
}
