#include "Registry.h"

#include "win/raii.h"

#include <gtest/gtest.h>

#include <utility>

namespace tarn_test {
namespace {

win::UniqueHKey CreateKey(const std::wstring& subKey) {
    win::UniqueHKey key;
    const LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                    key.put(), nullptr);
    if (rc != ERROR_SUCCESS) {
        ADD_FAILURE() << "RegCreateKeyExW failed (" << rc << ") for HKLM\\"
                      << std::string(subKey.begin(), subKey.end());
    }
    return key;
}

void SetValue(const std::wstring& subKey, const std::wstring& valueName, DWORD type, const void* data, DWORD size) {
    win::UniqueHKey key = CreateKey(subKey);
    if (!key) return;
    const LONG rc = RegSetValueExW(key.get(), valueName.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    if (rc != ERROR_SUCCESS) ADD_FAILURE() << "RegSetValueExW failed (" << rc << ")";
}

void DeleteValue(const std::wstring& subKey, const std::wstring& valueName) {
    win::UniqueHKey key = CreateKey(subKey);
    if (key) RegDeleteValueW(key.get(), valueName.c_str());
}

}  // namespace

ScopedRegistryValue::ScopedRegistryValue(std::wstring subKey, std::wstring valueName, DWORD type, const void* data,
                                         DWORD size)
    : subKey_(std::move(subKey)), valueName_(std::move(valueName)) {
    SaveOld();
    SetValue(subKey_, valueName_, type, data, size);
}

ScopedRegistryValue::ScopedRegistryValue(std::wstring subKey, std::wstring valueName, MissingTag)
    : subKey_(std::move(subKey)), valueName_(std::move(valueName)) {
    SaveOld();
    DeleteValue(subKey_, valueName_);
}

ScopedRegistryValue::ScopedRegistryValue(ScopedRegistryValue&& other) noexcept
    : owner_(std::exchange(other.owner_, false)),
      subKey_(std::move(other.subKey_)),
      valueName_(std::move(other.valueName_)),
      hadOld_(other.hadOld_),
      oldType_(other.oldType_),
      oldData_(std::move(other.oldData_)) {}

ScopedRegistryValue::~ScopedRegistryValue() {
    if (!owner_) return;
    if (hadOld_) {
        SetValue(subKey_, valueName_, oldType_, oldData_.data(), static_cast<DWORD>(oldData_.size()));
    } else {
        DeleteValue(subKey_, valueName_);
    }
}

ScopedRegistryValue ScopedRegistryValue::Dword(std::wstring subKey, std::wstring valueName, DWORD value) {
    return ScopedRegistryValue(std::move(subKey), std::move(valueName), REG_DWORD, &value, sizeof(value));
}

ScopedRegistryValue ScopedRegistryValue::String(std::wstring subKey, std::wstring valueName, const std::wstring& text,
                                                DWORD type) {
    return ScopedRegistryValue(std::move(subKey), std::move(valueName), type, text.c_str(),
                               static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

ScopedRegistryValue ScopedRegistryValue::Missing(std::wstring subKey, std::wstring valueName) {
    return ScopedRegistryValue(std::move(subKey), std::move(valueName), MissingTag{});
}

void ScopedRegistryValue::SaveOld() {
    win::UniqueHKey key = CreateKey(subKey_);
    if (!key) return;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), valueName_.c_str(), nullptr, &oldType_, nullptr, &size) != ERROR_SUCCESS) {
        return;
    }
    oldData_.resize(size);
    if (RegQueryValueExW(key.get(), valueName_.c_str(), nullptr, &oldType_, size != 0 ? oldData_.data() : nullptr,
                         &size) == ERROR_SUCCESS) {
        oldData_.resize(size);
        hadOld_ = true;
    }
}

}  // namespace tarn_test
