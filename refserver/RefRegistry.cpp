// The side effects a test can ask of the class object
// (TarnRef_SetClassObjectSideEffect), and the count of class object requests.
#include "ClassRegistration.h"

#include "RefState.h"
#include "tarnref.h"
#include "win/ModulePath.h"

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
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ClassKeyPath(CLSID_TarnServer).c_str(), 0, KEY_SET_VALUE, key.put()) ==
        ERROR_SUCCESS) {
        SetText(key.get(), name.c_str(), data);
    }
}

void CreateFileBesideModule(const std::wstring& name, const std::wstring& data) {
    const std::wstring directory = win::DirectoryOf(win::ModuleFileName(g_module));
    if (directory.empty()) return;
    const std::wstring path = directory + L"\\" + name;
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    ::WriteFile(file.get(), data.c_str(), static_cast<DWORD>(data.size() * sizeof(wchar_t)), &written, nullptr);
}

}  // namespace

ULONG ClassObjectRequests() { return g_classObjectRequests; }

void NoteClassObjectRequest() {
    const ULONG request = ++g_classObjectRequests;
    int kind = TARNREF_SIDE_EFFECT_NONE;
    std::wstring arg;
    {
        RefState& state = RefState::Instance();
        win::Lock guard(state.Lock());
        kind = state.config.sideEffectKind;
        arg = state.config.sideEffectArg;
    }
    if (kind == TARNREF_SIDE_EFFECT_REGISTRY) WriteClassKeyValue(arg, UniqueStamp(request));
    if (kind == TARNREF_SIDE_EFFECT_FILE) CreateFileBesideModule(arg, UniqueStamp(request));
}

}  // namespace tarnref
