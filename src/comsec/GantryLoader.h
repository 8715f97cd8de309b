// Run-time access to GANTRY.dll, the start-up support module.
#pragma once

#include "gantry.h"
#include "win/raii.h"

#include <string>

namespace comsec {

// Owns one load of GANTRY.dll and the entries its resolver (ordinal 1)
// hands out. The module is only ever loaded by full path from the directory
// of the module that contains this code, never through the DLL search path:
// a GANTRY.dll planted in the current directory or on PATH is not used.
// When the module or any entry is missing, every check answers "refused".
class CGantry {
public:
    CGantry() noexcept = default;
    CGantry(const CGantry&) = delete;
    CGantry& operator=(const CGantry&) = delete;

    // Loads GANTRY.dll from the directory of the module holding this code.
    bool Load();
    // Loads GANTRY.dll from directory (a full path). Used by Load; tests use
    // it to point the loader at a directory of their own.
    bool LoadFromDirectory(const std::wstring& directory);
    // Set only when the module is loaded and all its entries resolved.
    bool Loaded() const noexcept { return static_cast<bool>(module_); }

    // False when not loaded.
    bool IsPEFileValidExT(const std::wstring& path, ULONG flags, ULONG machines) const;
    bool GetMonitorEventAttributes(SECURITY_ATTRIBUTES& attributes) const;
    bool GetMonitorThreadAttributes(SECURITY_ATTRIBUTES& attributes) const;
    // Null when not loaded or the thread cannot be started.
    HANDLE StartNamedThread(SECURITY_ATTRIBUTES* attributes, GANTRY_THREAD_PROC proc, void* argument,
                            const wchar_t* name) const;

private:
    bool ResolveEntries();

    win::UniqueModule module_;
    GANTRY_ENTRIES_V1 entries_{};
};

}  // namespace comsec
