// The reference server's arrays: checks of what clients send and the arrays
// it builds, shared by the server and by its control client.
#pragma once

#include <string>
#include <vector>

#include "win/raii.h"

namespace tarnref {

// Array checks of client input.
bool IsVectorOf(SAFEARRAY* array, VARTYPE vt);
bool IsTableOf(SAFEARRAY* array, VARTYPE vt, LONG columns);
// The texts of a VT_BSTR array in storage order; none for any other array.
std::vector<std::wstring> ReadTexts(SAFEARRAY* array);

// A one-dimensional VT_UI1 array (lower bound 0) holding bytes.
win::UniqueSafeArray MakeByteArray(const void* bytes, ULONG size);
// A one-dimensional VT_I4 array (lower bound 0) holding values (all zero
// when values is null).
win::UniqueSafeArray MakeLongArray(const LONG* values, ULONG count);
// A 3-by-rows VT_BSTR table from texts given row after row; cells past the
// end of the list stay null.
win::UniqueSafeArray MakeTextTable(const std::vector<std::wstring>& cells, ULONG rows);

}  // namespace tarnref
