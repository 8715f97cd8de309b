// Two-dimensional SAFEARRAY tables as the Tarn server exchanges them: the
// first dimension is the column and varies fastest in storage, so the cells of
// one row lie next to each other (cell (c, r) is element columns * r + c).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "win/raii.h"

namespace records {

// Creates a columns-by-rows array of vt, both lower bounds 0, into table,
// which must be empty. E_OUTOFMEMORY when the array cannot be created.
HRESULT CreateTable(VARTYPE vt, ULONG columns, ULONG rows, win::UniqueSafeArray& table);

// Column and row counts of a two-dimensional array; false for any other
// number of dimensions (or no array).
bool GetTableSize(SAFEARRAY* table, ULONG& columns, ULONG& rows);

// True when table is an array of vt whose elements have the size of vt's
// storage, so that its cells can be read or written as that type.
bool HoldsElementsOf(SAFEARRAY* table, VARTYPE vt, UINT elementSize);

}  // namespace records
