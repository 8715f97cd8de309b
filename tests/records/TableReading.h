// Reading and making two-dimensional SAFEARRAY tables in the tests, through
// the element functions (index pair (column, row)) rather than the storage
// layout that the code under test relies on.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "win/raii.h"

namespace records_test {

// "vt<element type>" then "[lower..upper]" of each dimension, first first.
inline std::string ShapeOf(SAFEARRAY* table) {
    VARTYPE vt = VT_EMPTY;
    ::SafeArrayGetVartype(table, &vt);
    std::string shape = "vt" + std::to_string(vt);
    for (UINT d = 1; d <= ::SafeArrayGetDim(table); ++d) {
        LONG lower = 0, upper = -1;
        ::SafeArrayGetLBound(table, d, &lower);
        ::SafeArrayGetUBound(table, d, &upper);
        shape += " [" + std::to_string(lower) + ".." + std::to_string(upper) + "]";
    }
    return shape;
}

// A cell of a BSTR or VARIANT table as text: a BSTR as it stands, a VT_UI4
// as "#<number>".
inline std::wstring Cell(SAFEARRAY* table, LONG column, LONG row) {
    LONG index[2] = {column, row};
    VARTYPE vt = VT_EMPTY;
    ::SafeArrayGetVartype(table, &vt);
    win::UniqueVariant cell;
    VARIANT* v = cell.get();
    void* target = vt == VT_BSTR ? static_cast<void*>(&V_BSTR(v)) : v;
    if (FAILED(::SafeArrayGetElement(table, index, target))) return L"<unreadable>";
    if (vt == VT_BSTR) V_VT(v) = VT_BSTR;  // the cell now owns the copy
    if (V_VT(v) == VT_BSTR) return V_BSTR(v) ? V_BSTR(v) : L"";
    if (V_VT(v) == VT_UI4) return L"#" + std::to_wstring(V_UI4(v));
    return L"<vt " + std::to_wstring(V_VT(v)) + L">";
}

// The whole table, cells joined by "," and rows by "|".
inline std::wstring TableText(SAFEARRAY* table) {
    LONG columns[2] = {0, -1}, rows[2] = {0, -1};
    ::SafeArrayGetLBound(table, 1, &columns[0]);
    ::SafeArrayGetUBound(table, 1, &columns[1]);
    ::SafeArrayGetLBound(table, 2, &rows[0]);
    ::SafeArrayGetUBound(table, 2, &rows[1]);
    std::wstring text;
    for (LONG r = rows[0]; r <= rows[1]; ++r) {
        for (LONG c = columns[0]; c <= columns[1]; ++c)
            text += (c > columns[0] ? L"," : r > rows[0] ? L"|" : L"") + Cell(table, c, r);
    }
    return text;
}

using TextRow = std::vector<std::wstring>;

// A columns-by-rows BSTR table (3 columns unless the rows say otherwise) with
// the given lower bound in both dimensions.
inline win::UniqueSafeArray MakeTextTable(const std::vector<TextRow>& rows, LONG lower = 0) {
    const LONG columns = rows.empty() ? 3 : static_cast<LONG>(rows[0].size());
    SAFEARRAYBOUND bounds[2] = {{static_cast<ULONG>(columns), lower}, {static_cast<ULONG>(rows.size()), lower}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_BSTR, 2, bounds));
    for (LONG r = 0; r < static_cast<LONG>(rows.size()); ++r) {
        for (LONG c = 0; c < columns; ++c) {
            LONG index[2] = {lower + c, lower + r};
            win::UniqueBstr text = win::UniqueBstr::Copy(rows[r][c].c_str());
            ::SafeArrayPutElement(table.get(), index, text.get());
        }
    }
    return table;
}

}  // namespace records_test
