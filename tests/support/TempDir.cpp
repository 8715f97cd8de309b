#include "TempDir.h"

#include "win/raii.h"

#include <gtest/gtest.h>

namespace tarn_test {
namespace {

void RemoveTree(const std::wstring& directory) {
    WIN32_FIND_DATAW entry;
    win::UniqueFindHandle search(FindFirstFileW((directory + L"\\*").c_str(), &entry));
    if (search) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring child = directory + L"\\" + name;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search.get(), &entry));
    }
    RemoveDirectoryW(directory.c_str());
}

}  // namespace

ScopedTempDir::ScopedTempDir() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    for (unsigned attempt = 0; attempt < 1000 && path_.empty(); ++attempt) {
        const std::wstring candidate = std::wstring(base) + L"tarn-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(GetTickCount() + attempt);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) path_ = candidate;
    }
    if (path_.empty()) ADD_FAILURE() << "no temporary directory could be created";
}

ScopedTempDir::~ScopedTempDir() {
    if (!path_.empty()) RemoveTree(path_);
}

std::wstring ScopedTempDir::Join(const std::wstring& name) const { return path_ + L"\\" + name; }

}  // namespace tarn_test
