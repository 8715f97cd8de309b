// Helpers of the secure-creation tests: files, directories and class
// registrations that clean up after themselves.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "win/raii.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <process.h>
#include <string>

namespace comsec_test {

inline std::wstring GuidText(REFGUID guid) {
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

inline std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    return std::filesystem::path(path).parent_path().wstring();
}

inline std::wstring SystemFile(const wchar_t* name) {
    wchar_t directory[MAX_PATH] = {};
    ::GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + name;
}

inline bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::string ReadWholeFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    return static_cast<bool>(out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())));
}

// A fresh directory under the temporary directory, removed with its files.
class TempDirectory {
public:
    TempDirectory() {
        static unsigned count = 0;
        path_ = (std::filesystem::temp_directory_path() /
                 (L"comsec-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++count)))
                    .wstring();
        if (!::CreateDirectoryW(path_.c_str(), nullptr)) path_.clear();
    }
    ~TempDirectory() {
        std::error_code error;
        if (!path_.empty()) std::filesystem::remove_all(path_, error);
    }

    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// HKLM\Software\Classes\CLSID\{clsid}, deleted with its subtree at the end.
class ClassRegistration {
public:
    explicit ClassRegistration(REFCLSID clsid) : keyName_(L"Software\\Classes\\CLSID\\" + GuidText(clsid)) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyName_.c_str());
        created_ = SetText(L"", nullptr, L"");
    }
    ~ClassRegistration() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyName_.c_str()); }

    bool created() const { return created_; }

    // A value (name null: the default value) under subkey (empty: the class
    // key itself).
    bool SetValue(const std::wstring& subkey, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        const std::wstring path = subkey.empty() ? keyName_ : keyName_ + L"\\" + subkey;
        return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, type, data, size) == ERROR_SUCCESS;
    }
    bool SetText(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
        return SetValue(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    // An in-process server the multithreaded apartment can load directly.
    bool SetInProcServer(const std::wstring& path) {
        return SetText(L"InProcServer32", nullptr, path) && SetText(L"InProcServer32", L"ThreadingModel", L"Both");
    }

private:
    std::wstring keyName_;
    bool created_ = false;
};

// HKCU\Software\Classes\CLSID\{clsid}\InprocServer32 in the registry view
// view (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY), as any program of the user
// may write it; deleted at the end.
class PerUserRegistration {
public:
    PerUserRegistration(REFCLSID clsid, REGSAM view, const std::wstring& serverPath)
        : keyName_(L"Software\\Classes\\CLSID\\" + GuidText(clsid)), view_(view) {
        win::UniqueHKey key;
        created_ = ::RegCreateKeyExW(HKEY_CURRENT_USER, (keyName_ + L"\\InprocServer32").c_str(), 0, nullptr, 0,
                                     KEY_WRITE | view_, nullptr, key.put(), nullptr) == ERROR_SUCCESS &&
                   ::RegSetValueExW(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(serverPath.c_str()),
                                    static_cast<DWORD>((serverPath.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    ~PerUserRegistration() {
        ::RegDeleteKeyExW(HKEY_CURRENT_USER, (keyName_ + L"\\InprocServer32").c_str(), view_, 0);
        ::RegDeleteKeyExW(HKEY_CURRENT_USER, keyName_.c_str(), view_, 0);
    }
    PerUserRegistration(const PerUserRegistration&) = delete;
    PerUserRegistration& operator=(const PerUserRegistration&) = delete;

    bool created() const { return created_; }

private:
    std::wstring keyName_;
    REGSAM view_;
    bool created_ = false;
};

// Test class ids, used only by these tests.
// {7E1C2A90-3B4D-4E5F-8A6B-1C2D3E4F5061}
constexpr CLSID kTestClassA = {0x7e1c2a90, 0x3b4d, 0x4e5f, {0x8a, 0x6b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x61}};
// {7E1C2A91-3B4D-4E5F-8A6B-1C2D3E4F5062}
constexpr CLSID kTestClassB = {0x7e1c2a91, 0x3b4d, 0x4e5f, {0x8a, 0x6b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x62}};

// Runs program with one argument and returns its exit code (or -1).
inline intptr_t RunProgram(const std::wstring& program, const std::wstring& argument) {
    return ::_wspawnl(_P_WAIT, program.c_str(), (L"\"" + program + L"\"").c_str(), argument.c_str(), nullptr);
}

}  // namespace comsec_test
