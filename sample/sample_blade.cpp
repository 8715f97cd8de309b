// A sample blade: initialises TarnStub, makes a request, finalises, and
// prints what it got and the end of the adaptor log.
//
//   sample_blade [blade-type]      (default 12, a blade with the default peer)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tarnstub.h"

namespace {

const char* CodeMeaning(DWORD code) {
    switch (code) {
        case TARNSTUB_OK: return "success";
        case TARNSTUB_ALREADY_INITIALIZED: return "an adaptor already exists";
        case TARNSTUB_NOT_INITIALIZED: return "the stub is not initialised";
        case TARNSTUB_PEER_STILL_HELD: return "a notification peer is still held";
        case TARNSTUB_NO_NOTIFICATION_PEER: return "no notification peer for this blade";
        case TARNSTUB_ADAPTOR_CREATION_FAILED: return "creating the adaptor failed";
        case TARNSTUB_BLADE_TYPE_NOT_ACCEPTED: return "blade type not accepted";
        case TARNSTUB_PEER_CREATION_FAILED: return "creating the notification peer failed";
        case TARNSTUB_ADAPTOR_INIT_FAILED: return "the adaptor failed to start";
        case TARNSTUB_THREAD_START_FAILED: return "starting the worker thread failed";
        case TARNSTUB_THREAD_WAIT_FAILED: return "waiting for the worker thread failed";
        case TARNSTUB_THREAD_EXIT_CODE_FAILED: return "reading the worker's exit code failed";
        case TARNSTUB_DOWNLOAD_FAILED: return "the download request failed";
        case TARNSTUB_COMPLIANCE_FAILED: return "the compliance query failed";
        case TARNSTUB_POLICY_FAILED: return "the policy query failed";
        case TARNSTUB_ACTIVATION_FAILED: return "the activation query failed";
        case TARNSTUB_SETTINGS_CALLBACK_NOT_VPN: return "settings-update callback only for blade type 6";
        case TARNSTUB_BUFFER_TOO_SMALL: return "the buffer is too small";
        case TARNSTUB_NULL_CALLBACK: return "the callback pointer is null";
        case TARNSTUB_PAYLOAD_FAILED: return "the payload collection failed";
        case TARNSTUB_LOG_FAILED: return "the log collection failed";
        case TARNSTUB_PROVIDER_INFO_FAILED: return "the provider info request failed";
        case TARNSTUB_OPERATION_STATUS_FAILED: return "the operation status report failed";
        case TARNSTUB_NULL_POINTER: return "a required pointer is null";
        case TARNSTUB_COUNT_BELOW_ONE: return "the item count is below 1";
        case TARNSTUB_SETTING_AFTER_INIT: return "setting must come before initialisation";
        case TARNSTUB_BLADE_PAYLOAD_FAILED: return "sending the blade payload failed";
        case TARNSTUB_CA_FINGERPRINT_FAILED: return "the CA fingerprint query failed";
        case TARNSTUB_INCIDENT_FAILED: return "the incident report failed";
        case TARNSTUB_OUT_OF_MEMORY: return "out of memory";
        default: return "unknown code";
    }
}

DWORD Report(const char* call, DWORD code) {
    std::printf("%-40s -> %2lu (%s)\n", call, static_cast<unsigned long>(code), CodeMeaning(code));
    return code;
}

void TARNSTUB_CALL OnConnected(void) { std::printf("  callback: connected to the Tarn server\n"); }

// The log folder a blade's installation configures; the sample sets one
// beside itself when none is configured.
std::wstring EnsureLogDirectory() {
    HKEY key = nullptr;
    wchar_t dir[MAX_PATH] = {};
    DWORD size = sizeof(dir) - sizeof(wchar_t);
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Corvalis\\Quillon", 0, nullptr, 0, KEY_READ | KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return {};
    if (RegQueryValueExW(key, L"LOGDIR", nullptr, nullptr, reinterpret_cast<BYTE*>(dir), &size) != ERROR_SUCCESS ||
        dir[0] == L'\0') {
        GetCurrentDirectoryW(MAX_PATH, dir);
        wcscat_s(dir, L"\\logs");
        RegSetValueExW(key, L"LOGDIR", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                       static_cast<DWORD>((wcslen(dir) + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return dir;
}

void PrintLogTail(const std::wstring& dir, size_t lines) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\sample_blade*-adaptor.log").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        std::printf("\nNo adaptor log in %ls\n", dir.c_str());
        return;
    }
    FindClose(search);
    const std::wstring path = dir + L"\\" + found.cFileName;
    std::printf("\nAdaptor log: %ls (last %u lines)\n", path.c_str(), static_cast<unsigned>(lines));
    FILE* file = _wfopen(path.c_str(), L"r");
    if (!file) return;
    std::vector<std::string> all;
    char line[4096];
    while (std::fgets(line, sizeof(line), file)) all.emplace_back(line);
    std::fclose(file);
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
        std::printf("  %s", all[i].c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const DWORD bladeType = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 12;
    const std::wstring logDir = EnsureLogDirectory();
    std::printf("TarnStub sample blade, blade type %lu\n\n", static_cast<unsigned long>(bladeType));

    Report("RegisterConnectToTarnNotificationCallback", RegisterConnectToTarnNotificationCallback(&OnConnected));
    if (Report("Initialize", Initialize(bladeType)) != TARNSTUB_OK) return 1;

    BSTR policy = nullptr;
    if (Report("GetCommonClientPolicy", GetCommonClientPolicy(&policy)) == TARNSTUB_OK) {
        std::printf("  common client policy: %ls\n", policy);
        SysFreeString(policy);
    }
    Report("Finalize", Finalize());
    PrintLogTail(logDir, 25);
    return 0;
}
