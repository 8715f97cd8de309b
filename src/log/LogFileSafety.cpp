#include "log/LogFileSafety.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>

namespace adaptor_log {
namespace {

using UniqueSecurityDescriptor = win::UniqueLocalMemory;

// Full control for administrators and SYSTEM; modify (read, write, delete,
// no change of permissions) for the writing account, so that its trims can
// replace the log; read and traverse for everyone else. "P": the parent's
// entries are not inherited, so whatever the parent grants users does not
// reach the log.
constexpr wchar_t kDirectoryDaclFormat[] =
    L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;%s)(A;OICI;0x1200a9;;;WD)";

// The process's own account as SID text ("S-1-5-..."); empty when unknown.
std::wstring OwnAccountSid() {
    win::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return std::wstring();
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, &buffer[0], size, &size)) return std::wstring();
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(&buffer[0])->User.Sid, &text)) return std::wstring();
    win::UniqueLocalMemory owner(text);
    return text;
}

UniqueSecurityDescriptor DirectorySecurity() {
    const std::wstring sid = OwnAccountSid();
    if (sid.empty()) return UniqueSecurityDescriptor();
    wchar_t sddl[512];
    if (_snwprintf(sddl, sizeof(sddl) / sizeof(sddl[0]), kDirectoryDaclFormat, sid.c_str()) < 0) {
        return UniqueSecurityDescriptor();
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return UniqueSecurityDescriptor();
    }
    return UniqueSecurityDescriptor(descriptor);
}

// Creates the directory with the log's DACL. An existing directory is left
// as it is (the check below decides about it); no DACL, no directory: the
// stub never creates it with an inherited one.
void CreateLogDirectory(const std::wstring& directory) {
    if (GetFileAttributesW(directory.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    UniqueSecurityDescriptor descriptor = DirectorySecurity();
    if (!descriptor) return;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.get(), FALSE};
    CreateDirectoryW(directory.c_str(), &attributes);
}

// Why the opened object is not what the log may use; empty when it is.
std::wstring RefusalOf(HANDLE handle, bool wantDirectory) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) return L"its kind cannot be checked";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a reparse point";
    const bool isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (isDirectory != wantDirectory) return wantDirectory ? L"it is not a directory" : L"it is a directory";
    if (!wantDirectory && info.nNumberOfLinks > 1) return L"it has more than one hard link";
    return std::wstring();
}

CheckedOpen Checked(win::UniqueHandle handle, bool wantDirectory) {
    CheckedOpen result;
    if (!handle) return result;
    result.refusal = RefusalOf(handle.get(), wantDirectory);
    if (result.refusal.empty()) result.handle = std::move(handle);
    return result;
}

}  // namespace

CheckedOpen OpenLogDirectory(const std::wstring& directory) {
    CreateLogDirectory(directory);
    return Checked(win::UniqueHandle(CreateFileW(directory.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
                   true);
}

CheckedOpen OpenPlainFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    // FILE_READ_ATTRIBUTES for the check; no inheritance (null attributes).
    CheckedOpen result =
        Checked(win::UniqueHandle(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)),
                false);
    if (result.handle || !result.refusal.empty()) return result;
    // Opening a directory as a file fails with "access denied": say so.
    const DWORD error = GetLastError();
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        result.refusal = L"it is a directory";
    }
    SetLastError(error);
    return result;
}

std::wstring RandomNamePart() {
    ULONGLONG value = 0;
    if (!RtlGenRandom(&value, sizeof(value))) {
        // Not expected; still no name a planter can list in advance.
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        value = (static_cast<ULONGLONG>(counter.QuadPart) * 0x9E3779B97F4A7C15ull) ^
                (static_cast<ULONGLONG>(GetCurrentProcessId()) << 32) ^ GetTickCount64();
    }
    wchar_t text[17];
    _snwprintf(text, 17, L"%016I64x", value);
    text[16] = L'\0';
    return text;
}

}  // namespace adaptor_log
