#include "TableReading.h"

namespace records_test {

Dimensions DimensionsOf(SAFEARRAY* table) {
    Dimensions d;
    d.count = ::SafeArrayGetDim(table);
    ::SafeArrayGetLBound(table, 1, &d.firstLower);
    ::SafeArrayGetUBound(table, 1, &d.firstUpper);
    if (d.count >= 2) {
        ::SafeArrayGetLBound(table, 2, &d.secondLower);
        ::SafeArrayGetUBound(table, 2, &d.secondUpper);
    }
    return d;
}

std::wstring ReadBstrCell(SAFEARRAY* table, LONG column, LONG row) {
    LONG index[2] = {column, row};
    win::UniqueBstr cell;
    if (FAILED(::SafeArrayGetElement(table, index, cell.put()))) return L"<unreadable>";
    return std::wstring(cell.get() ? cell.get() : L"", cell.length());
}

std::vector<TextRow> ReadTextTable(SAFEARRAY* table) {
    const Dimensions d = DimensionsOf(table);
    std::vector<TextRow> rows;
    for (LONG r = d.secondLower; r <= d.secondUpper; ++r) {
        rows.push_back({ReadBstrCell(table, 0, r), ReadBstrCell(table, 1, r),
                        ReadBstrCell(table, 2, r)});
    }
    return rows;
}

win::UniqueSafeArray MakeTextTable(const std::vector<TextRow>& rows, LONG lowerBound) {
    SAFEARRAYBOUND bounds[2] = {{3, lowerBound}, {static_cast<ULONG>(rows.size()), lowerBound}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_BSTR, 2, bounds));
    for (LONG r = 0; r < static_cast<LONG>(rows.size()); ++r) {
        for (LONG c = 0; c < 3; ++c) {
            win::UniqueBstr text = win::UniqueBstr::Copy(rows[r][c].c_str());
            LONG index[2] = {lowerBound + c, lowerBound + r};
            ::SafeArrayPutElement(table.get(), index, text.get());
        }
    }
    return table;
}

}  // namespace records_test
