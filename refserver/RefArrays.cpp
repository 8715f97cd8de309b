#include "RefArrays.h"

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
    if (size != 0 && !bytes) return win::UniqueSafeArray();
    return win::MakeVector<VT_UI1>(static_cast<const BYTE*>(bytes), size);
}

win::UniqueSafeArray MakeLongArray(const LONG* values, ULONG count) { return win::MakeVector<VT_I4>(values, count); }

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
