// Builders for the SAFEARRAYs the adaptor hands to the server.
#pragma once

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

}  // namespace safe_arrays
