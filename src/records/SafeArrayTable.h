// Two-dimensional SAFEARRAY tables as the Tarn server exchanges them: the
// first dimension is the column and varies fastest in storage, so the cells of
// one row lie next to each other (cell (c, r) is element columns * r + c).
// Tables that come in are read through win::SafeArrayView.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "win/raii.h"

namespace records {

// Creates a columns-by-rows array of vt, both lower bounds 0, into table,
// which must be empty. E_OUTOFMEMORY when the array cannot be created.
HRESULT CreateTable(VARTYPE vt, ULONG columns, ULONG rows, win::UniqueSafeArray& table);

}  // namespace records
