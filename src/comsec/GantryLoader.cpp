#include "comsec/GantryLoader.h"

#include "win/ModulePath.h"

#include <cstring>
#include <string>

namespace comsec {
namespace {

const wchar_t kGantryFileName[] = L"GANTRY.dll";

// Any address inside this module identifies it, including the stub DLL that
// this library is linked into.
const char kModuleAnchor = 0;

// The name the module was linked under, from its export directory; empty if
// it has none. Guards against a different DLL copied under the file name,
// whose ordinal 1 would be some unrelated function.
std::string ExportedModuleName(HMODULE module) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return std::string();
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT)
        return std::string();
    const IMAGE_DATA_DIRECTORY& exports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exports.VirtualAddress == 0 || exports.Size < sizeof(IMAGE_EXPORT_DIRECTORY)) return std::string();
    const auto* directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress);
    if (directory->Name == 0 || directory->Name >= nt->OptionalHeader.SizeOfImage) return std::string();
    const char* name = reinterpret_cast<const char*>(base + directory->Name);
    return std::string(name, strnlen(name, nt->OptionalHeader.SizeOfImage - directory->Name));
}

bool IsGantryModule(HMODULE module) { return _stricmp(ExportedModuleName(module).c_str(), "GANTRY.dll") == 0; }

bool EntriesComplete(const GANTRY_ENTRIES_V1& entries) noexcept {
    return entries.version == GANTRY_ENTRIES_VERSION_1 && entries.size >= sizeof entries &&
           entries.IsPEFileValidExT != nullptr && entries.GetMonitorEventAttributes != nullptr &&
           entries.GetMonitorThreadAttributes != nullptr && entries.StartNamedThread != nullptr;
}

}  // namespace

bool CGantry::Load() {
    const std::wstring directory = win::DirectoryOf(win::ModuleFileNameOf(&kModuleAnchor));
    if (directory.empty()) return false;
    return LoadFromDirectory(directory);
}

bool CGantry::LoadFromDirectory(const std::wstring& directory) {
    entries_ = GANTRY_ENTRIES_V1{};
    module_.reset();
    if (directory.empty()) return false;
    const std::wstring path = directory + L"\\" + kGantryFileName;
    // Dependencies of GANTRY.dll are looked up beside it, not in the
    // caller's directories.
    module_.reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module_) return false;
    if (!ResolveEntries()) {
        module_.reset();
        return false;
    }
    // The module stays loaded for the life of the process. Every connection
    // attempt loads it; unloaded in between, each load would pay the
    // module's start-up allocations again, and the C++ runtime linked into a
    // module does not give all of them back (about 73 KiB lost per attempt,
    // every 30 seconds while the server is away).
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, path.c_str(), &pinned);
    return true;
}

bool CGantry::ResolveEntries() {
    if (!IsGantryModule(module_.get())) return false;
    FARPROC entry = ::GetProcAddress(module_.get(), MAKEINTRESOURCEA(GANTRY_RESOLVER_ORDINAL));
    if (entry == nullptr) return false;
    auto resolve = reinterpret_cast<GANTRY_RESOLVE>(reinterpret_cast<void*>(entry));
    GANTRY_ENTRIES_V1 entries{};
    if (!resolve(GANTRY_ENTRIES_VERSION_1, &entries, sizeof entries)) return false;
    if (!EntriesComplete(entries)) return false;
    entries_ = entries;
    return true;
}

bool CGantry::IsPEFileValidExT(const std::wstring& path, ULONG flags, ULONG machines) const {
    return Loaded() && entries_.IsPEFileValidExT(path.c_str(), flags, machines) != FALSE;
}

bool CGantry::GetMonitorEventAttributes(SECURITY_ATTRIBUTES& attributes) const {
    return Loaded() && entries_.GetMonitorEventAttributes(&attributes) != FALSE;
}

bool CGantry::GetMonitorThreadAttributes(SECURITY_ATTRIBUTES& attributes) const {
    return Loaded() && entries_.GetMonitorThreadAttributes(&attributes) != FALSE;
}

HANDLE CGantry::StartNamedThread(SECURITY_ATTRIBUTES* attributes, GANTRY_THREAD_PROC proc, void* argument,
                                 const wchar_t* name) const {
    if (!Loaded()) return nullptr;
    return entries_.StartNamedThread(attributes, proc, argument, name);
}

}  // namespace comsec
