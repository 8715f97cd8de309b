// A directory of its own for one test.
#pragma once

#include <string>

namespace tarn_test {

// Creates a fresh, uniquely named directory under the temporary directory
// and removes it with everything in it on destruction.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    // Full path, without a trailing backslash.
    const std::wstring& path() const { return path_; }
    // path() + "\" + name.
    std::wstring Join(const std::wstring& name) const;

private:
    std::wstring path_;
};

}  // namespace tarn_test
