// Builders for the SAFEARRAYs the adaptor hands to the server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "win/raii.h"

namespace safe_arrays {

// A one-dimensional VT_UI4 array, lower bound 0, in list order (possibly
// without elements). Empty owner when it cannot be created.
win::UniqueSafeArray FromUlongs(const std::vector<ULONG>& values);

// A one-dimensional VT_BSTR array, lower bound 0, in list order.
win::UniqueSafeArray FromTexts(const std::vector<std::wstring>& texts);

// A one-dimensional VT_UI1 array, lower bound 0, holding the bytes.
win::UniqueSafeArray FromBytes(const BYTE* bytes, ULONG count);

// The text of a one-dimensional VT_UI1 array read as UTF-8, up to its first
// zero byte and never past its last element. None when the array is not a
// one-dimensional byte array; the empty text for no array.
std::optional<std::wstring> Utf8Text(SAFEARRAY* array);

// The elements of a one-dimensional VT_I4 array in index order; none when
// the array is not one.
std::optional<std::vector<LONG>> Longs(SAFEARRAY* array);

}  // namespace safe_arrays
