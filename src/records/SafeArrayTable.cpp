#include "records/SafeArrayTable.h"

namespace records {

HRESULT CreateTable(VARTYPE vt, ULONG columns, ULONG rows, win::UniqueSafeArray& table) {
    if (table) return E_FAIL;
    // SafeArrayCreate takes the bounds from the first (fastest varying)
    // dimension on.
    SAFEARRAYBOUND bounds[2] = {{columns, 0}, {rows, 0}};
    table.reset(::SafeArrayCreate(vt, 2, bounds));
    return table ? S_OK : E_OUTOFMEMORY;
}

namespace {

bool GetDimensionSize(SAFEARRAY* table, UINT dimension, ULONG& count) {
    LONG lower = 0;
    LONG upper = 0;
    if (FAILED(::SafeArrayGetLBound(table, dimension, &lower)) ||
        FAILED(::SafeArrayGetUBound(table, dimension, &upper))) {
        return false;
    }
    // An empty dimension reports its upper bound one below its lower bound.
    const LONGLONG size = static_cast<LONGLONG>(upper) - lower + 1;
    if (size < 0 || size > static_cast<LONGLONG>(MAXDWORD)) return false;
    count = static_cast<ULONG>(size);
    return true;
}

}  // namespace

bool GetTableSize(SAFEARRAY* table, ULONG& columns, ULONG& rows) {
    if (!table || ::SafeArrayGetDim(table) != 2) return false;
    return GetDimensionSize(table, 1, columns) && GetDimensionSize(table, 2, rows);
}

bool HoldsElementsOf(SAFEARRAY* table, VARTYPE vt, UINT elementSize) {
    VARTYPE actual = VT_EMPTY;
    if (!table || FAILED(::SafeArrayGetVartype(table, &actual))) return false;
    return actual == vt && ::SafeArrayGetElemsize(table) == elementSize;
}

}  // namespace records
