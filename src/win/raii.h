// Owners of Windows resources: one owner per handle, lock, BSTR, SAFEARRAY,
// VARIANT and COM reference. Everything that holds one of these in TarnStub
// holds it through a type from this file (COM references through ComPtr).
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <utility>

namespace win {

using Microsoft::WRL::ComPtr;

// A unique owner of a value with a close function and an "empty" value.
template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : value_(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::IsValid(value_); }
    T release() noexcept { return std::exchange(value_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) noexcept {
        T old = std::exchange(value_, value);
        if (Traits::IsValid(old)) Traits::Close(old);
    }
    // For out-parameters: frees what is held and hands out the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Traits::Empty();
};

struct HandleTraits {
    static HANDLE Empty() noexcept { return nullptr; }
    static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;

struct FindFileTraits : HandleTraits {
    static void Close(HANDLE h) noexcept { ::FindClose(h); }
};
// A directory search from FindFirstFileW.
using UniqueFindHandle = UniqueResource<HANDLE, FindFileTraits>;

struct HKeyTraits {
    static HKEY Empty() noexcept { return nullptr; }
    static bool IsValid(HKEY k) noexcept { return k != nullptr; }
    static void Close(HKEY k) noexcept { ::RegCloseKey(k); }
};
using UniqueHKey = UniqueResource<HKEY, HKeyTraits>;

struct ModuleTraits {
    static HMODULE Empty() noexcept { return nullptr; }
    static bool IsValid(HMODULE m) noexcept { return m != nullptr; }
    static void Close(HMODULE m) noexcept { ::FreeLibrary(m); }
};
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;

struct FileTraits {
    static FILE* Empty() noexcept { return nullptr; }
    static bool IsValid(FILE* f) noexcept { return f != nullptr; }
    static void Close(FILE* f) noexcept { std::fclose(f); }
};
// A C runtime file stream, closed with fclose.
using UniqueFile = UniqueResource<FILE*, FileTraits>;

struct SafeArrayTraits {
    static SAFEARRAY* Empty() noexcept { return nullptr; }
    static bool IsValid(SAFEARRAY* a) noexcept { return a != nullptr; }
    static void Close(SAFEARRAY* a) noexcept { ::SafeArrayDestroy(a); }
};
using UniqueSafeArray = UniqueResource<SAFEARRAY*, SafeArrayTraits>;

// A BSTR owner. An empty owner holds a null BSTR, which the system string
// functions treat as the empty text.
class UniqueBstr {
public:
    UniqueBstr() noexcept = default;
    explicit UniqueBstr(BSTR value) noexcept : value_(value) {}
    ~UniqueBstr() { ::SysFreeString(value_); }
    UniqueBstr(UniqueBstr&& other) noexcept : value_(other.release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    // Allocates a copy of text (null is taken as the empty text). The result
    // is empty (get() == nullptr) only when the allocation failed.
    static UniqueBstr Copy(const wchar_t* text) noexcept {
        return UniqueBstr(::SysAllocString(text ? text : L""));
    }
    static UniqueBstr Copy(const wchar_t* text, UINT length) noexcept {
        return UniqueBstr(::SysAllocStringLen(text, length));
    }
    // A copy of the whole text, embedded zeros included.
    static UniqueBstr Copy(const std::wstring& text) noexcept {
        return Copy(text.data(), static_cast<UINT>(text.size()));
    }

    BSTR get() const noexcept { return value_; }
    UINT length() const noexcept { return ::SysStringLen(value_); }
    BSTR release() noexcept { return std::exchange(value_, nullptr); }
    void reset(BSTR value = nullptr) noexcept { ::SysFreeString(std::exchange(value_, value)); }
    BSTR* put() noexcept {
        reset();
        return &value_;
    }
    // For in/out parameters: the callee may free the value and store a new one.
    BSTR* put_in_out() noexcept { return &value_; }

private:
    BSTR value_ = nullptr;
};

// A VARIANT owner; cleared with VariantClear.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    ~UniqueVariant() { ::VariantClear(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    void reset() noexcept { ::VariantClear(&value_); }

private:
    VARIANT value_;
};

// Access to a SAFEARRAY's data for the lifetime of the object.
class SafeArrayData {
public:
    explicit SafeArrayData(SAFEARRAY* array) noexcept : array_(array) {
        if (array_ && FAILED(::SafeArrayAccessData(array_, &data_))) data_ = nullptr;
    }
    ~SafeArrayData() {
        if (data_) ::SafeArrayUnaccessData(array_);
    }
    SafeArrayData(const SafeArrayData&) = delete;
    SafeArrayData& operator=(const SafeArrayData&) = delete;

    explicit operator bool() const noexcept { return data_ != nullptr; }
    template <typename T>
    T* as() const noexcept { return static_cast<T*>(data_); }

private:
    SAFEARRAY* array_;
    void* data_ = nullptr;
};

// A critical section with lock()/unlock(), usable with std::lock_guard.
// Critical sections are re-entrant on the owning thread.
class CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() noexcept { ::EnterCriticalSection(&cs_); }
    void unlock() noexcept { ::LeaveCriticalSection(&cs_); }
    // For SleepConditionVariableCS.
    CRITICAL_SECTION* native() noexcept { return &cs_; }

private:
    CRITICAL_SECTION cs_;
};

// Enters the multithreaded apartment for the lifetime of the object, on the
// current thread. Used only on threads the stub starts itself.
class MtaScope {
public:
    MtaScope() noexcept : hr_(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~MtaScope() {
        if (SUCCEEDED(hr_)) ::CoUninitialize();
    }
    MtaScope(const MtaScope&) = delete;
    MtaScope& operator=(const MtaScope&) = delete;

private:
    HRESULT hr_;
};

}  // namespace win
