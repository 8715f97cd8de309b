// The side effects a test can ask of the class object
// (TarnRef_SetClassObjectSideEffect), and the count of class object requests.
#include "ClassRegistration.h"

#include "RefState.h"
#include "tarnref.h"

#include <olectl.h>
#include <shlwapi.h>

#include <mutex>

namespace tarnref {
namespace {

std::atomic<ULONG> g_classObjectRequests{0};

// Data that differs on every call, also across processes: a registry
// notification fires only when the data really changes.
std::wstring UniqueStamp(ULONG request) {
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(request) + L"-" +
           std::to_wstring(counter.QuadPart);
}

void WriteClassKeyValue(const std::wstring& name, const std::wstring& data) {
    win::UniqueHKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath(CLSID_TarnServer).c_str(), 0,
                        KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
        SetText(key.get(), name.c_str(), data);
    }
}

void CreateFileBesideModule(const std::wstring& name, const std::wstring& data) {
    std::wstring directory = ModulePath();
    if (directory.empty() || !::PathRemoveFileSpecW(&directory[0])) return;
    wchar_t path[MAX_PATH] = {};
    if (!::PathCombineW(path, directory.c_str(), name.c_str())) return;
    win::UniqueHandle file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), data.c_str(), static_cast<DWORD>(data.size() * sizeof(wchar_t)),
                &written, nullptr);
}

}  // namespace

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(g_module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) return L"";
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

ULONG ClassObjectRequests() { return g_classObjectRequests; }

void NoteClassObjectRequest() {
    const ULONG request = ++g_classObjectRequests;
    int kind = TARNREF_SIDE_EFFECT_NONE;
    std::wstring arg;
    {
        RefState& state = RefState::Instance();
        std::lock_guard<win::CriticalSection> guard(state.Lock());
        kind = state.config.sideEffectKind;
        arg = state.config.sideEffectArg;
    }
    if (kind == TARNREF_SIDE_EFFECT_REGISTRY) WriteClassKeyValue(arg, UniqueStamp(request));
    if (kind == TARNREF_SIDE_EFFECT_FILE) CreateFileBesideModule(arg, UniqueStamp(request));
}

}  // namespace tarnref
