#include "RefArrays.h"

#include <algorithm>

#include "win/SafeArrayView.h"

namespace tarnref {

bool IsVectorOf(SAFEARRAY* array, VARTYPE vt) { return win::SafeArrayView(array).IsVectorOf(vt); }

bool IsTableOf(SAFEARRAY* array, VARTYPE vt, LONG columns) {
    const win::SafeArrayView view(array);
    return view.IsTableOf(vt) && view.Count(1) == static_cast<ULONG>(columns);
}

std::vector<std::wstring> ReadTexts(SAFEARRAY* array) {
    std::vector<std::wstring> texts;
    const auto cells = win::SafeArrayView(array).Lock<VT_BSTR>();
    for (const BSTR cell : cells) texts.push_back(win::UniqueBstr::Text(cell));
    return texts;
}

win::UniqueSafeArray MakeByteArray(const void* bytes, ULONG size) {
    win::UniqueSafeArray array(::SafeArrayCreateVector(VT_UI1, 0, size));
    if (!array || size == 0) return array;
    const auto elements = win::SafeArrayView(array.get()).Lock<VT_UI1>();
    if (!elements || !bytes) return win::UniqueSafeArray();
    const BYTE* first = static_cast<const BYTE*>(bytes);
    std::copy(first, first + size, elements.begin());
    return array;
}

win::UniqueSafeArray MakeLongArray(const LONG* values, ULONG count) {
    win::UniqueSafeArray array(::SafeArrayCreateVector(VT_I4, 0, count));
    if (!array || !values) return array;
    const auto elements = win::SafeArrayView(array.get()).Lock<VT_I4>();
    if (!elements) return win::UniqueSafeArray();
    std::copy(values, values + count, elements.begin());
    return array;
}

win::UniqueSafeArray MakeTextTable(const std::vector<std::wstring>& cells, ULONG rows) {
    SAFEARRAYBOUND bounds[2] = {{3, 0}, {rows, 0}};
    win::UniqueSafeArray table(::SafeArrayCreate(VT_BSTR, 2, bounds));
    if (!table || rows == 0) return table;
    const auto elements = win::SafeArrayView(table.get()).Lock<VT_BSTR>();
    if (!elements) return win::UniqueSafeArray();
    // The first dimension (the column) varies fastest: cell (c, r) is
    // element 3*r + c, which is the row-after-row order of cells.
    for (size_t i = 0; i < cells.size() && i < elements.size(); ++i) {
        elements[i] = win::UniqueBstr::Copy(cells[i].c_str()).release();
    }
    return table;
}

}  // namespace tarnref
