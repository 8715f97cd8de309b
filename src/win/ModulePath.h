// Where modules live: the one reader of module file names, which grows its
// buffer until the whole path fits (a path cut at MAX_PATH would name another
// file or directory).
#pragma once

#include <windows.h>

#include <string>

namespace win {

// The full path of a loaded module; null is the process's program. Empty when
// it cannot be read.
std::wstring ModuleFileName(HMODULE module);

// The full path of the module (EXE or DLL) that contains address; empty when
// no module does.
std::wstring ModuleFileNameOf(const void* address);

// The directory part of path without the trailing separator; empty when the
// path has no directory part.
std::wstring DirectoryOf(const std::wstring& path);

}  // namespace win
