#include "RefState.h"

#include <cstring>

namespace tarnref {
namespace {

bool HasElementType(SAFEARRAY* array, VARTYPE vt) {
    VARTYPE actual = VT_EMPTY;
    return SUCCEEDED(::SafeArrayGetVartype(array, &actual)) && actual == vt;
}

}  // namespace

bool IsVectorOf(SAFEARRAY* array, VARTYPE vt) {
    return array && ::SafeArrayGetDim(array) == 1 && HasElementType(array, vt);
}

bool IsTableOf(SAFEARRAY* array, VARTYPE vt, LONG columns) {
    return array && ::SafeArrayGetDim(array) == 2 && HasElementType(array, vt) &&
           ElementCount(array, 1) == static_cast<ULONG>(columns);
}

ULONG ElementCount(SAFEARRAY* array, UINT dimension) {
    LONG lower = 0, upper = -1;
    if (FAILED(::SafeArrayGetLBound(array, dimension, &lower)) ||
        FAILED(::SafeArrayGetUBound(array, dimension, &upper)) || upper < lower) {
        return 0;
    }
    return static_cast<ULONG>(upper - lower) + 1;
}

win::UniqueSafeArray MakeByteArray(const void* bytes, ULONG size) {
    win::UniqueSafeArray array(::SafeArrayCreateVector(VT_UI1, 0, size));
    if (!array || size == 0) return array;
    win::SafeArrayData data(array.get());
    if (!data || !bytes) return win::UniqueSafeArray();
    std::memcpy(data.as<BYTE>(), bytes, size);
    return array;
}

win::UniqueSafeArray MakeTextTable(const std::vector<std::wstring>& cells, ULONG rows) {
    SAFEARRAYBOUND bounds[2] = {{3, 0}, {rows, 0}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_BSTR, 2, bounds));
    if (!table || rows == 0) return table;
    win::SafeArrayData data(table.get());
    if (!data) return win::UniqueSafeArray();
    // The first dimension (the column) varies fastest: cell (c, r) is
    // element 3*r + c, which is the row-after-row order of cells.
    for (size_t i = 0; i < cells.size() && i < 3u * rows; ++i) {
        data.as<BSTR>()[i] = win::UniqueBstr::Copy(cells[i].c_str()).release();
    }
    return table;
}

}  // namespace tarnref
