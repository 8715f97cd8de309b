// Opening the log's directory and files without following what a local user
// may have planted there: a junction or symbolic link in place of the
// directory, a symbolic link or a hard link in place of a file. A privileged
// blade would otherwise append its lines to (or a trim would copy the tail of)
// a file of the planter's choosing.
#pragma once

#include <windows.h>

#include <string>

#include "win/raii.h"

namespace adaptor_log {

// The outcome of opening one of the log's files or its directory. When the
// object exists but is refused, handle is empty and refusal says why; when
// it simply cannot be opened (missing, access denied, shared away), both are
// empty.
struct CheckedOpen {
    win::UniqueHandle handle;
    std::wstring refusal;
};

// Creates directory (one level) when it does not exist, with an explicit
// DACL that is not inherited: administrators and SYSTEM full control, the
// process's own account modify, everyone else read. Then opens it, refusing
// a reparse point (junction, symbolic link) or anything that is not a
// directory. The handle does not share deletion, so the directory cannot be
// renamed or replaced while it is held.
CheckedOpen OpenLogDirectory(const std::wstring& directory);

// Opens path (never through a reparse point) and refuses a reparse point, a
// directory or a file with more than one hard link.
CheckedOpen OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition);

// A name part nobody can guess: 16 hexadecimal digits from the system's
// random generator.
std::wstring RandomNamePart();

}  // namespace adaptor_log
