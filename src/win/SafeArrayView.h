// A checked view of a SAFEARRAY that someone else owns: its shape (number of
// dimensions, element type, bounds) and typed access to its elements. Every
// array that comes in from the server or from a caller is read through it, so
// that no element is read as a type it does not have or past the array's end.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "win/raii.h"

namespace win {

// The C++ type of the elements of an array of a VARTYPE.
template <VARTYPE vt>
struct SafeArrayElement;
template <>
struct SafeArrayElement<VT_UI1> {
    using Type = BYTE;
};
template <>
struct SafeArrayElement<VT_I4> {
    using Type = LONG;
};
template <>
struct SafeArrayElement<VT_UI4> {
    using Type = ULONG;
};
template <>
struct SafeArrayElement<VT_BSTR> {
    using Type = BSTR;
};
template <>
struct SafeArrayElement<VT_VARIANT> {
    using Type = VARIANT;
};

// The elements of an array, locked in place (SafeArrayAccessData) for the
// lifetime of the scope. Elements lie in storage order: the first dimension
// varies fastest. An empty scope (no elements, or the lock failed) has no
// data; operator bool tells a failed lock from an array without elements.
template <typename T>
class SafeArrayLock {
public:
    SafeArrayLock() noexcept = default;
    ~SafeArrayLock() {
        if (array_) ::SafeArrayUnaccessData(array_);
    }
    SafeArrayLock(SafeArrayLock&& other) noexcept
        : array_(std::exchange(other.array_, nullptr)),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          valid_(std::exchange(other.valid_, false)) {}
    SafeArrayLock& operator=(SafeArrayLock&& other) noexcept {
        if (this != &other) {
            SafeArrayLock old(std::move(*this));
            array_ = std::exchange(other.array_, nullptr);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            valid_ = std::exchange(other.valid_, false);
        }
        return *this;
    }
    SafeArrayLock(const SafeArrayLock&) = delete;
    SafeArrayLock& operator=(const SafeArrayLock&) = delete;

    // False when the array does not hold T or its data could not be locked.
    explicit operator bool() const noexcept { return valid_; }
    T* begin() const noexcept { return data_; }
    T* end() const noexcept { return data_ + size_; }
    T* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](size_t index) const noexcept { return data_[index]; }

private:
    friend class SafeArrayView;
    static SafeArrayLock Failed() noexcept { return SafeArrayLock(); }
    static SafeArrayLock Empty() noexcept {
        SafeArrayLock lock;
        lock.valid_ = true;
        return lock;
    }
    static SafeArrayLock Locked(SAFEARRAY* array, void* data, size_t size) noexcept {
        SafeArrayLock lock;
        lock.array_ = array;
        lock.data_ = static_cast<T*>(data);
        lock.size_ = size;
        lock.valid_ = true;
        return lock;
    }

    SAFEARRAY* array_ = nullptr;  // set while the data is locked
    T* data_ = nullptr;
    size_t size_ = 0;
    bool valid_ = false;
};

// A view of an array (possibly none). The view does not own the array.
class SafeArrayView {
public:
    explicit SafeArrayView(SAFEARRAY* array) noexcept : array_(array) {}

    SAFEARRAY* get() const noexcept { return array_; }
    explicit operator bool() const noexcept { return array_ != nullptr; }

    // 0 for no array.
    UINT Dimensions() const noexcept { return array_ ? ::SafeArrayGetDim(array_) : 0; }
    // The size of one element in storage; 0 for no array.
    UINT ElementSize() const noexcept { return array_ ? ::SafeArrayGetElemsize(array_) : 0; }

    // The element type the array records; VT_EMPTY when it records none.
    VARTYPE Type() const noexcept {
        VARTYPE vt = VT_EMPTY;
        if (!array_ || FAILED(::SafeArrayGetVartype(array_, &vt))) return VT_EMPTY;
        return vt;
    }

    // True when the array records the element type vt and its elements have
    // the storage size of that type, so that they can be read as it.
    bool Holds(VARTYPE vt) const noexcept {
        const UINT size = StorageSize(vt);
        return size != 0 && Type() == vt && ElementSize() == size;
    }
    bool IsVectorOf(VARTYPE vt) const noexcept { return Dimensions() == 1 && Holds(vt); }
    bool IsTableOf(VARTYPE vt) const noexcept { return Dimensions() == 2 && Holds(vt); }

    // The number of elements along a dimension (1 is the first, the fastest
    // varying in storage); 0 when the array has no such dimension.
    ULONG Count(UINT dimension = 1) const noexcept {
        LONG lower = 0;
        LONG upper = 0;
        if (!array_ || FAILED(::SafeArrayGetLBound(array_, dimension, &lower)) ||
            FAILED(::SafeArrayGetUBound(array_, dimension, &upper))) {
            return 0;
        }
        // An empty dimension reports its upper bound one below its lower bound.
        const LONGLONG count = static_cast<LONGLONG>(upper) - lower + 1;
        return count > 0 && count <= static_cast<LONGLONG>(MAXDWORD) ? static_cast<ULONG>(count) : 0;
    }
    // The lower bound of a dimension; 0 when the array has no such dimension.
    LONG LowerBound(UINT dimension = 1) const noexcept {
        LONG lower = 0;
        if (!array_ || FAILED(::SafeArrayGetLBound(array_, dimension, &lower))) return 0;
        return lower;
    }
    // True when every dimension starts at index 0.
    bool IsZeroBased() const noexcept {
        for (UINT dimension = 1; dimension <= Dimensions(); ++dimension) {
            if (LowerBound(dimension) != 0) return false;
        }
        return true;
    }
    // The number of elements over all dimensions; 0 for no array.
    size_t ElementCount() const noexcept {
        const UINT dimensions = Dimensions();
        if (dimensions == 0) return 0;
        size_t total = 1;
        for (UINT dimension = 1; dimension <= dimensions; ++dimension) {
            const size_t count = Count(dimension);
            if (count != 0 && total > SIZE_MAX / count) return 0;
            total *= count;
        }
        return total;
    }

    // The elements as the type of vt; a failed scope when the array does not
    // hold vt (see Holds) or cannot be locked.
    template <VARTYPE vt>
    SafeArrayLock<typename SafeArrayElement<vt>::Type> Lock() const noexcept {
        using Element = typename SafeArrayElement<vt>::Type;
        if (!Holds(vt)) return SafeArrayLock<Element>::Failed();
        return LockAs<Element>(ElementCount());
    }
    // The storage as bytes, whatever the element type.
    SafeArrayLock<BYTE> LockBytes() const noexcept {
        const size_t count = ElementCount();
        const size_t size = ElementSize();
        if (size != 0 && count > SIZE_MAX / size) return SafeArrayLock<BYTE>::Failed();
        return LockAs<BYTE>(count * size);
    }

    // The storage size of the element types the view can check; 0 for others.
    static UINT StorageSize(VARTYPE vt) noexcept {
        switch (vt) {
            case VT_I1:
            case VT_UI1: return 1;
            case VT_I2:
            case VT_UI2:
            case VT_BOOL: return 2;
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
            case VT_R4:
            case VT_ERROR: return 4;
            case VT_I8:
            case VT_UI8:
            case VT_R8:
            case VT_CY:
            case VT_DATE: return 8;
            case VT_BSTR: return sizeof(BSTR);
            case VT_UNKNOWN: return sizeof(IUnknown*);
            case VT_DISPATCH: return sizeof(IDispatch*);
            case VT_VARIANT: return sizeof(VARIANT);
            default: return 0;
        }
    }

private:
    template <typename T>
    SafeArrayLock<T> LockAs(size_t count) const noexcept {
        if (!array_) return SafeArrayLock<T>::Failed();
        // An array without elements may have no storage to lock.
        if (count == 0) return SafeArrayLock<T>::Empty();
        void* data = nullptr;
        if (FAILED(::SafeArrayAccessData(array_, &data))) return SafeArrayLock<T>::Failed();
        SafeArrayLock<T> lock = SafeArrayLock<T>::Locked(array_, data, count);
        // Elements without storage cannot be read: the scope unlocks at once.
        if (!data) return SafeArrayLock<T>::Failed();
        return lock;
    }

    SAFEARRAY* array_;
};

// A one-dimensional array of vt (lower bound 0) holding count values; the
// elements stay zero when values is null. No array when it cannot be made.
template <VARTYPE vt>
UniqueSafeArray MakeVector(const typename SafeArrayElement<vt>::Type* values, ULONG count) {
    UniqueSafeArray array(::SafeArrayCreateVector(vt, 0, count));
    if (!array || !values || count == 0) return array;
    const auto elements = SafeArrayView(array.get()).Lock<vt>();
    if (!elements) return UniqueSafeArray();
    std::copy(values, values + count, elements.begin());
    return array;
}

}  // namespace win
