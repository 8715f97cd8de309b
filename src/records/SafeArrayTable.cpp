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

}  // namespace records
