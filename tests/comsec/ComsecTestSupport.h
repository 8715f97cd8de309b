// Helpers of the secure-creation tests: files, directories and class
// registrations that clean up after themselves.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include "win/raii.h"

#include <cstdint>
#include <string>
#include <vector>

namespace comsec_test {

inline std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/"));
}

inline std::wstring SystemFile(const wchar_t* name) {
    wchar_t directory[MAX_PATH] = {};
    ::GetSystemDirectoryW(directory, MAX_PATH);
    return std::wstring(directory) + L"\\" + name;
}

inline bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

inline std::vector<std::uint8_t> ReadWholeFile(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
    if (!file) return bytes;
    LARGE_INTEGER size{};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() && (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                       &read, nullptr) ||
                           read != bytes.size()))
        bytes.clear();
    return bytes;
}

inline bool WriteWholeFile(const std::wstring& path, const std::uint8_t* data, size_t size) {
    win::UniqueHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return size == 0 ||
           (::WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
            written == size);
}

// A fresh directory under the temporary directory, removed with its files.
class TempDirectory {
public:
    TempDirectory() {
        wchar_t base[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, base);
        for (unsigned attempt = 0; attempt < 1000; ++attempt) {
            path_ = std::wstring(base) + L"comsec-" + std::to_wstring(::GetCurrentProcessId()) +
                    L"-" + std::to_wstring(attempt);
            if (::CreateDirectoryW(path_.c_str(), nullptr)) return;
        }
        path_.clear();
    }
    ~TempDirectory() {
        if (path_.empty()) return;
        WIN32_FIND_DATAW found{};
        std::vector<std::wstring> names;
        HANDLE search = ::FindFirstFileW((path_ + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do names.push_back(found.cFileName);
            while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        for (const std::wstring& name : names) ::DeleteFileW((path_ + L"\\" + name).c_str());
        ::RemoveDirectoryW(path_.c_str());
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring File(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

inline std::wstring GuidText(REFGUID guid) {
    wchar_t text[39] = {};
    ::StringFromGUID2(guid, text, 39);
    return text;
}

// HKLM\Software\Classes\CLSID\{clsid}, deleted with its subtree at the end.
class ClassRegistration {
public:
    explicit ClassRegistration(REFCLSID clsid)
        : keyName_(L"Software\\Classes\\CLSID\\" + GuidText(clsid)) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyName_.c_str());
        win::UniqueHKey key;
        created_ = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName_.c_str(), 0, nullptr, 0,
                                     KEY_ALL_ACCESS, nullptr, key.put(), nullptr) == ERROR_SUCCESS;
    }
    ~ClassRegistration() { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyName_.c_str()); }
    ClassRegistration(const ClassRegistration&) = delete;
    ClassRegistration& operator=(const ClassRegistration&) = delete;

    bool created() const { return created_; }
    const std::wstring& keyName() const { return keyName_; }

    // Writes a string value (name null: the default value) under subkey
    // (empty: the class key itself).
    bool SetText(const std::wstring& subkey, const wchar_t* name, const std::wstring& text) {
        const std::wstring path = subkey.empty() ? keyName_ : keyName_ + L"\\" + subkey;
        win::UniqueHKey key;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr) != ERROR_SUCCESS)
            return false;
        return ::RegSetValueExW(key.get(), name, 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) ==
               ERROR_SUCCESS;
    }

    // An in-process server the multithreaded apartment can load directly.
    bool SetInProcServer(const std::wstring& path) {
        return SetText(L"InProcServer32", nullptr, path) &&
               SetText(L"InProcServer32", L"ThreadingModel", L"Both");
    }

private:
    std::wstring keyName_;
    bool created_ = false;
};

// Test class ids, used only by these tests.
// {7E1C2A90-3B4D-4E5F-8A6B-1C2D3E4F5061}
constexpr CLSID kTestClassA = {0x7e1c2a90, 0x3b4d, 0x4e5f, {0x8a, 0x6b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x61}};
// {7E1C2A91-3B4D-4E5F-8A6B-1C2D3E4F5062}
constexpr CLSID kTestClassB = {0x7e1c2a91, 0x3b4d, 0x4e5f, {0x8a, 0x6b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x62}};

// Runs program with arguments and returns its exit code (or -1).
inline long RunProgram(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process))
        return -1;
    win::UniqueHandle processHandle(process.hProcess);
    win::UniqueHandle threadHandle(process.hThread);
    ::WaitForSingleObject(processHandle.get(), 120000);
    DWORD exitCode = static_cast<DWORD>(-1);
    ::GetExitCodeProcess(processHandle.get(), &exitCode);
    return static_cast<long>(exitCode);
}

}  // namespace comsec_test
