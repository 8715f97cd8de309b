// Registry values under HKEY_LOCAL_MACHINE set for the length of a test.
// Tests that use these write the Wine prefix's registry: mark them SERIAL.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tarn_test {

// Gives a value under HKEY_LOCAL_MACHINE\<subKey> the data of a test, or
// removes it, and on destruction puts back what was there before: the old
// type and data, or no value at all. The key is created when it is missing
// (and left in place afterwards).
class ScopedRegistryValue {
public:
    // Any type and raw data, e.g. REG_BINARY to try a value of a wrong type.
    ScopedRegistryValue(std::wstring subKey, std::wstring valueName, DWORD type, const void* data, DWORD size);
    ~ScopedRegistryValue();
    // A moved-from object restores nothing.
    ScopedRegistryValue(ScopedRegistryValue&& other) noexcept;
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(ScopedRegistryValue&&) = delete;

    static ScopedRegistryValue Dword(std::wstring subKey, std::wstring valueName, DWORD value);
    // A string value (REG_SZ, or REG_EXPAND_SZ) stored with its terminator.
    static ScopedRegistryValue String(std::wstring subKey, std::wstring valueName, const std::wstring& text,
                                      DWORD type = REG_SZ);
    // Removes the value for the lifetime of the object.
    static ScopedRegistryValue Missing(std::wstring subKey, std::wstring valueName);

private:
    struct MissingTag {};
    ScopedRegistryValue(std::wstring subKey, std::wstring valueName, MissingTag);
    void SaveOld();

    bool owner_ = true;
    std::wstring subKey_;
    std::wstring valueName_;
    bool hadOld_ = false;
    DWORD oldType_ = REG_NONE;
    std::vector<BYTE> oldData_;
};

}  // namespace tarn_test
