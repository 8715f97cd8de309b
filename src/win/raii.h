// Owners of Windows resources: one owner per handle, lock, BSTR, SAFEARRAY,
// VARIANT and COM reference. Everything that holds one of these in TarnStub
// holds it through a type from this file (COM references through ComPtr).
// The elements of a SAFEARRAY are reached through win/SafeArrayView.h.
#pragma once

#include "win/ThreadSafety.h"

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>
#include <utility>

namespace win {

using Microsoft::WRL::ComPtr;

// A unique owner of a resource T closed by Close. IsValid tells the values
// that hold a resource; the default is "not null". UniqueAny<HKEY,
// &RegCloseKey> owns a registry key, and so on for every kind below.
template <typename T>
constexpr bool IsNotNull(T value) noexcept {
    return value != T{};
}

template <typename T, auto Close, auto IsValid = &IsNotNull<T>>
class UniqueAny {
public:
    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    ~UniqueAny() { reset(); }
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return IsValid(value_); }
    T release() noexcept { return std::exchange(value_, T{}); }
    void reset(T value = T{}) noexcept {
        const T old = std::exchange(value_, value);
        if (IsValid(old)) static_cast<void>(Close(old));
    }
    // For out-parameters: frees what is held and hands out the slot.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = T{};
};

// Handles that answer INVALID_HANDLE_VALUE instead of null on failure.
constexpr bool IsValidHandle(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

using UniqueHandle = UniqueAny<HANDLE, &::CloseHandle, &IsValidHandle>;
// A directory search from FindFirstFileW.
using UniqueFindHandle = UniqueAny<HANDLE, &::FindClose, &IsValidHandle>;
// A directory watch from FindFirstChangeNotificationW.
using UniqueChangeNotification = UniqueAny<HANDLE, &::FindCloseChangeNotification, &IsValidHandle>;
using UniqueHKey = UniqueAny<HKEY, &::RegCloseKey>;
using UniqueModule = UniqueAny<HMODULE, &::FreeLibrary>;
using UniqueSafeArray = UniqueAny<SAFEARRAY*, &::SafeArrayDestroy>;
// Memory from LocalAlloc (and from the functions that return such memory).
using UniqueLocalMemory = UniqueAny<HLOCAL, &::LocalFree>;

inline int CloseFile(FILE* file) noexcept { return std::fclose(file); }
// A C runtime file stream.
using UniqueFile = UniqueAny<FILE*, &CloseFile>;

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
    static UniqueBstr Copy(const wchar_t* text) noexcept { return UniqueBstr(::SysAllocString(text ? text : L"")); }
    static UniqueBstr Copy(const wchar_t* text, UINT length) noexcept {
        return UniqueBstr(::SysAllocStringLen(text, length));
    }
    // A copy of the whole text, embedded zeros included.
    static UniqueBstr Copy(const std::wstring& text) noexcept {
        return Copy(text.data(), static_cast<UINT>(text.size()));
    }

    BSTR get() const noexcept { return value_; }
    UINT length() const noexcept { return ::SysStringLen(value_); }
    std::wstring text() const { return Text(value_); }
    // The whole text of a BSTR (embedded zeros included); none is empty.
    static std::wstring Text(BSTR value) { return value ? std::wstring(value, ::SysStringLen(value)) : std::wstring(); }
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

// A VARIANT owner; cleared with VariantClear. Moving hands the contents over
// and leaves VT_EMPTY behind.
class UniqueVariant {
public:
    UniqueVariant() noexcept { ::VariantInit(&value_); }
    ~UniqueVariant() { ::VariantClear(&value_); }
    UniqueVariant(UniqueVariant&& other) noexcept : value_(other.value_) { ::VariantInit(&other.value_); }
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) {
            ::VariantClear(&value_);
            value_ = other.value_;
            ::VariantInit(&other.value_);
        }
        return *this;
    }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;

    // Typed setters: the variant takes a copy of the text, or the number.
    static UniqueVariant Text(const std::wstring& text) noexcept {
        UniqueVariant variant;
        variant.value_.bstrVal = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (variant.value_.bstrVal) variant.value_.vt = VT_BSTR;
        return variant;
    }
    static UniqueVariant Unsigned(ULONG number) noexcept {
        UniqueVariant variant;
        variant.value_.vt = VT_UI4;
        variant.value_.ulVal = number;
        return variant;
    }

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    VARTYPE type() const noexcept { return value_.vt; }
    void reset() noexcept { ::VariantClear(&value_); }

private:
    VARIANT value_;
};

// A critical section with lock()/unlock(), a lock for clang's thread safety
// analysis (win/ThreadSafety.h). Take it with win::Lock, which the analysis
// understands; std::lock_guard still works, unchecked. Critical sections are
// re-entrant on the owning thread.
class CAPABILITY("mutex") CriticalSection {
public:
    CriticalSection() noexcept { ::InitializeCriticalSection(&cs_); }
    ~CriticalSection() { ::DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void lock() noexcept ACQUIRE() { ::EnterCriticalSection(&cs_); }
    void unlock() noexcept RELEASE() { ::LeaveCriticalSection(&cs_); }
    // For SleepConditionVariableCS.
    CRITICAL_SECTION* native() noexcept { return &cs_; }

private:
    CRITICAL_SECTION cs_;
};

// Holds a critical section for its lifetime: the scoped lock of the thread
// safety analysis.
class SCOPED_CAPABILITY Lock {
public:
    explicit Lock(CriticalSection& section) noexcept ACQUIRE(section) : section_(section) { section_.lock(); }
    ~Lock() RELEASE() { section_.unlock(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    CriticalSection& section_;
};

// Keeps the multithreaded apartment alive (CoIncrementMTAUsage) without
// entering it on the current thread. The two functions are resolved at run
// time: they need a newer ole32 than the stub otherwise requires. Empty when
// the system has no such count.
class UniqueMtaUsage {
public:
    static UniqueMtaUsage Acquire() noexcept;
    UniqueMtaUsage() noexcept = default;
    ~UniqueMtaUsage() { reset(); }
    UniqueMtaUsage(UniqueMtaUsage&& other) noexcept : cookie_(std::exchange(other.cookie_, nullptr)) {}
    UniqueMtaUsage& operator=(UniqueMtaUsage&& other) noexcept {
        if (this != &other) {
            reset();
            cookie_ = std::exchange(other.cookie_, nullptr);
        }
        return *this;
    }
    UniqueMtaUsage(const UniqueMtaUsage&) = delete;
    UniqueMtaUsage& operator=(const UniqueMtaUsage&) = delete;

    explicit operator bool() const noexcept { return cookie_ != nullptr; }
    void reset() noexcept;

private:
    HANDLE cookie_ = nullptr;  // the CoIncrementMTAUsage cookie
};

}  // namespace win

// Hooks for the stub's own tests; a blade cannot reach them.
namespace apartment_testing {
// Makes UniqueMtaUsage::Acquire behave as on an ole32 without the count.
void HideMtaUsageCount(bool hidden);
}  // namespace apartment_testing

namespace win {

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
